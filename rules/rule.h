// Rules and conditions: the in-memory form of RewriteRule, RewriteHeader and RewriteCond.
//
// A rule and the conditions before it share one compiled pattern: each condition's pattern
// followed by LF, then the rule's own pattern. Evaluation joins the values the conditions
// and the rule look at the same way and matches the whole text, so conditions combine by
// AND and their capture groups and the rule's form one numbering for the substitution.
//
// A Rule is filled once by the parser and then shared, read-only and without a lock, by
// every request thread that runs its configuration. The single write after that is the
// Disabled bit, set atomically after a matching timeout and never cleared.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "regex/prefilter.h"

namespace vortane {

// Bits of Rule::flags, with the flag letter of the directive that sets each.
struct RuleFlag {
  static constexpr uint32_t Last = 0x01;             // L: a match ends the pass
  static constexpr uint32_t Redirect = 0x02;         // R: a match answers with a redirect
  static constexpr uint32_t Restart = 0x04;          // N: a match starts the pass again
  static constexpr uint32_t Forbidden = 0x08;        // F: a match refuses the request
  static constexpr uint32_t LogRequestedUrl = 0x10;  // U: log the URL the client sent
  static constexpr uint32_t Normalize = 0x20;        // O: normalise the target first
  static constexpr uint32_t Disabled = 0x40;         // set after a timeout; no letter
  // R=NNN: the redirect status, as its index in kRedirectStatuses (0, the plain R, is 302).
  static constexpr uint32_t RedirectStatus = 0x7u << 16;
};

// Bits of Condition::flags.
struct ConditionFlag {
  static constexpr uint32_t Normalize = 0x20;  // O: normalise the value first
};

// Bits of the result of one rule or one pass. Stop, Redirect, Restart and Forbidden have
// the values of the rule flags that cause them, so evaluation copies them straight across.
struct RuleResult {
  static constexpr uint32_t Stop = 0x01;            // a rule with L, R or F matched
  static constexpr uint32_t Redirect = 0x02;        // a rule with R matched
  static constexpr uint32_t Restart = 0x04;         // a rule with N matched
  static constexpr uint32_t Forbidden = 0x08;       // a rule with F matched
  static constexpr uint32_t NoMatch = 0x10;         // a rule's pattern did not match
  static constexpr uint32_t Matched = 0x20;         // a rule's pattern matched
  static constexpr uint32_t InvalidPattern = 0x40;  // a rule's pattern is not valid
  static constexpr uint32_t Timeout = 0x80;         // matching or formatting raised an error
  static constexpr uint32_t Unreadable = 0x100;     // a value was too long to read whole
  // With Redirect: the status of the rule that redirected, where its flags hold it. A rule
  // with R ends its pass, so a result holds the status of one rule at most.
  static constexpr uint32_t RedirectStatus = RuleFlag::RedirectStatus;
  // The configuration's file exists but could not be read, and no earlier version of it is
  // loaded: no rule ran. Set by the request handling (filter/request.h), never by a rule.
  static constexpr uint32_t ConfigUnreadable = 0x200;
};

// A status a redirect answers with, and the reason phrase of its status line.
struct RedirectStatus {
  uint32_t code;
  std::string_view reason;
};

// The statuses R=NNN may give. A rule's flags hold the index of its status in the bits
// RuleFlag::RedirectStatus; the first, index 0, is the plain R.
inline constexpr RedirectStatus kRedirectStatuses[] = {
    {302, "Object moved"},       {301, "Moved Permanently"},  {303, "See Other"},
    {307, "Temporary Redirect"}, {308, "Permanent Redirect"},
};

// The RuleFlag::RedirectStatus bits of R=`digits` ("301"); false when the digits are not
// exactly one of kRedirectStatuses' codes (so "0301" and "30" are not).
bool LookUpRedirectStatus(std::string_view digits, uint32_t& bits);

// The redirect status that flags or result bits hold: 302 when they hold none.
const RedirectStatus& RedirectStatusOf(uint32_t bits);

// What a flag letter of a rule's flag list does: the RuleFlag bits it sets, and whether it
// compiles the pattern case-insensitively (I, which sets no bit).
struct FlagLetter {
  uint32_t bits;
  bool ignoreCase;
};

// Returns the meaning of `letter` (one of L R N F U O I), or false for any other byte.
bool LookUpFlagLetter(char letter, FlagLetter& meaning);

// One RewriteCond line. Its pattern is the matching segment at the head of the owning
// rule's pattern.
struct Condition {
  std::string name;               // server variable (without "%"), or request item name
  uint32_t flags = 0;             // ConditionFlag bits
  bool isServerVariable = false;  // read with GetServerVariable rather than GetHeader
  uint32_t line = 0;              // its line in the configuration file; 0 when not from one
};

// One RewriteRule or RewriteHeader line with its conditions. A value type: copies are deep
// (the compiled expression never changes after compilation, so a copy may share it).
class Rule {
 public:
  // An empty rule: no conditions, flags 0, and a pattern in the empty-expression error
  // state, which evaluates to InvalidPattern without touching the request.
  Rule() = default;
  Rule(const Rule& other);
  Rule& operator=(const Rule& other);

  // Conditions' patterns + LF each, then the rule's; with the facts every subject it
  // matches satisfies, derived when it is assigned.
  PrefilteredExpression pattern;
  std::string format;                 // the substitution, as written
  std::string target;                 // "URL", "METHOD", "VERSION" or "Name:"
  std::vector<Condition> conditions;  // in file order
  uint32_t line = 0;  // the RewriteRule or RewriteHeader line; 0 when not from a file

  // The RuleFlag bits. Safe to call while other threads evaluate the rule.
  uint32_t Flags() const { return flags_.load(std::memory_order_relaxed); }
  // Sets the bits the flag list gave. For the parser, before the rule is shared.
  void SetFlags(uint32_t flags) { flags_.store(flags, std::memory_order_relaxed); }
  // Sets Disabled. Safe from any number of threads at once, on a rule they all share
  // read-only otherwise (hence const); never undone.
  void Disable() const { flags_.fetch_or(RuleFlag::Disabled, std::memory_order_relaxed); }
  bool IsDisabled() const { return (Flags() & RuleFlag::Disabled) != 0; }

  void AppendCondition(const Condition& condition) { conditions.push_back(condition); }

  bool HasValidPattern() const { return IsValid(pattern); }

 private:
  mutable std::atomic<uint32_t> flags_{0};
};

}  // namespace vortane
