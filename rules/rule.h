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
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "regex/prefilter.h"

namespace vortane {

// Bits of Rule::flags. The letters that set them, and what each does, are in kFlags.
struct RuleFlag {
  static constexpr uint32_t Last = 0x01;
  static constexpr uint32_t Redirect = 0x02;
  static constexpr uint32_t Restart = 0x04;
  static constexpr uint32_t Forbidden = 0x08;
  static constexpr uint32_t LogRequestedUrl = 0x10;
  static constexpr uint32_t Normalize = 0x20;
  static constexpr uint32_t Disabled = 0x40;  // set after a timeout; no letter
  // R=NNN: the redirect status, as its index in kRedirectStatuses (0, the plain R, is 302).
  static constexpr uint32_t RedirectStatus = 0x7u << 16;
};

// Bits of Condition::flags.
struct ConditionFlag {
  static constexpr uint32_t Normalize = 0x20;
};

// One flag letter of a flag list: the bits it sets on a rule (and on a condition, where a
// condition takes it), whether it compiles the pattern case-insensitively, what it does, and
// the other dialects' spellings of it that the checker points to it from.
struct FlagMeaning {
  char letter;
  uint32_t ruleBits;
  uint32_t conditionBits;  // 0: a condition does not take the letter
  bool ignoreCase;
  bool takesStatus;  // written R=NNN as well, with one of kRedirectStatuses
  std::string_view meaning;
  std::string_view foreignNames;  // space-separated upper-case names, as in "NC NOCASE"
};

// Every flag letter, in the order the reference lists them. A flag list holds one to
// kMaxFlagItems items separated by single commas.
inline constexpr FlagMeaning kFlags[] = {
    {'L', RuleFlag::Last, 0, false, false, "a match ends the pass", "END"},
    {'R', RuleFlag::Redirect, 0, false, true, "a match answers with a redirect", ""},
    {'U', RuleFlag::LogRequestedUrl, 0, false, false, "log the URL the client sent", ""},
    {'I', 0, 0, true, false, "match the pattern case-insensitively", "NC NOCASE"},
    {'N', RuleFlag::Restart, 0, false, false, "a match starts the pass again", ""},
    {'F', RuleFlag::Forbidden, 0, false, false, "a match refuses the request", "G"},
    {'O', RuleFlag::Normalize, ConditionFlag::Normalize, false, false,
     "decode and normalise the URL before matching", ""},
};
inline constexpr size_t kMaxFlagItems = 5;

// The entry of `letter` in kFlags, or nullptr for any other byte.
const FlagMeaning* LookUpFlag(char letter);

// What a flag list's text ("L,R=301", without its brackets) sets.
struct FlagList {
  uint32_t ruleBits = 0;       // RuleFlag bits, the redirect status among them
  uint32_t conditionBits = 0;  // ConditionFlag bits
  bool ignoreCase = false;
  std::string_view invalidStatus;  // the first R=DIGITS whose digits are no redirect status
  std::string_view invalidItem;    // that item whole: "R=DIGITS"
  bool repeatedRedirect = false;   // R given more than once, with a status at least once
  std::string_view redirectItem;   // the first item whose letter takes a status
};
// Items that are no flag letter are skipped: the grammar lets none through.
FlagList ReadFlagList(std::string_view text);

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
  // A rule with U and without R wrote its new value: the log is to show the URL as the client
  // sent it. A mark on the request rather than an outcome of the sweep, so a restart keeps
  // it; the request handling stores it in the request's block (filter/request.h).
  static constexpr uint32_t LogMark = 0x400;
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

// The server variable the filter computes itself rather than asking the server: the file or
// folder the URL names in the site's folders (rules/request_filename.h).
inline constexpr std::string_view kRequestFilename = "REQUEST_FILENAME";

// What a file test asks of REQUEST_FILENAME.
enum class FileTest : uint8_t { None, File, Folder, NotFile, NotFolder };

// One file test as written after "RewriteCond %REQUEST_FILENAME", and what it asks.
struct FileTestMeaning {
  std::string_view text;
  FileTest test;
  std::string_view meaning;
};

// Every file test. A condition on %REQUEST_FILENAME whose whole pattern is one of these is
// a file test; any other pattern is matched against the path like any condition's.
inline constexpr FileTestMeaning kFileTests[] = {
    {"-f", FileTest::File, "an existing regular file"},
    {"-d", FileTest::Folder, "an existing folder"},
    {"!-f", FileTest::NotFile, "not an existing regular file"},
    {"!-d", FileTest::NotFolder, "not an existing folder"},
};

// The entry of the file test a condition's subject and pattern make, or nullptr when they
// make none.
const FileTestMeaning* LookUpFileTest(bool isServerVariable, std::string_view name,
                                      std::string_view pattern);

// The slot of a value no pass keeps (rules/pass_values.h): read afresh on each use.
inline constexpr uint32_t kNoSlot = UINT32_MAX;

// One RewriteCond line. Its pattern is the matching segment at the head of the owning
// rule's pattern, unless it is a file test, which has no pattern of its own.
struct Condition {
  std::string name;               // server variable (without "%"), or request item name
  uint32_t flags = 0;             // ConditionFlag bits
  bool isServerVariable = false;  // read with GetServerVariable rather than GetHeader
  uint32_t line = 0;              // its line in the configuration file; 0 when not from one
  // The value is REQUEST_FILENAME, computed by the filter instead of read from the server.
  bool computed = false;
  FileTest fileTest = FileTest::None;  // set on the rule's fileTests only
  // Where a pass keeps the value it read (rules/pass_values.h): set by NumberValues when a
  // configuration is built.
  uint32_t slot = kNoSlot;
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

  // The joined pattern: conditions' patterns + LF each, then the rule's own, compiled, with
  // the facts every subject it matches satisfies.
  PrefilteredExpression joinedPattern;
  std::string format;                 // the substitution, as written
  std::string target;                 // "URL", "METHOD", "VERSION" or "Name:"
  std::vector<Condition> conditions;  // in file order; those with a pattern only
  // The file tests among the conditions, in file order: asked after the pattern matched.
  std::vector<Condition> fileTests;
  uint32_t line = 0;              // the RewriteRule or RewriteHeader line; 0 when not from a file
  uint32_t targetSlot = kNoSlot;  // where a pass keeps the target's value, as Condition::slot

  // The RuleFlag bits. Safe to call while other threads evaluate the rule.
  uint32_t Flags() const { return flags_.load(std::memory_order_relaxed); }
  // Sets the bits the flag list gave. For the parser, before the rule is shared.
  void SetFlags(uint32_t flags) { flags_.store(flags, std::memory_order_relaxed); }
  // Sets Disabled. Safe from any number of threads at once, on a rule they all share
  // read-only otherwise (hence const); never undone.
  void Disable() const { flags_.fetch_or(RuleFlag::Disabled, std::memory_order_relaxed); }
  bool IsDisabled() const { return (Flags() & RuleFlag::Disabled) != 0; }

  void AppendCondition(const Condition& condition) { conditions.push_back(condition); }

  bool HasValidPattern() const { return joinedPattern.IsValid(); }

 private:
  mutable std::atomic<uint32_t> flags_{0};
};

// The text of a rule's combined pattern: each condition pattern followed by LF, then the
// rule's own pattern.
std::string CombinePatternText(const std::vector<std::string_view>& conditionPatterns,
                               std::string_view rulePattern);

// A RewriteCond as written: its subject, pattern and flag list.
struct ConditionParts {
  std::string_view name;  // server variable (without "%"), or "URL", "METHOD", "VERSION", "Name:"
  std::string_view pattern;
  std::string_view flags;  // the flag list without its brackets: "" or "O"
  bool isServerVariable = false;
  uint32_t line = 0;
};

// How the file test `test` is written ("!-f"); empty for FileTest::None.
std::string_view FileTestText(FileTest test);

// Whether the condition is a file test (LookUpFileTest): it adds nothing to the combined
// pattern.
bool IsFileTest(const ConditionParts& condition);

// A RewriteRule or RewriteHeader as written, with the conditions before it.
struct RuleParts {
  std::vector<ConditionParts> conditions;
  std::string_view pattern;
  std::string_view format;
  std::string_view flags;  // the flag list without its brackets: "L,R=301", or ""
  std::string_view target = "URL";
  uint32_t line = 0;
};

// Why BuildRule made no rule.
enum class RuleError { None, InvalidRedirectStatus, RepeatedRedirect, BadPattern };

// Where the pattern compiler stopped in a rule's combined pattern, and why.
struct PatternFault {
  size_t offset;  // in the combined pattern, less than its size
  std::string description;
};

struct BuiltRule {
  Rule rule;  // complete when error is None
  RuleError error = RuleError::None;
  // Within parts.flags: with InvalidRedirectStatus the item and its digits; with
  // RepeatedRedirect the first R item.
  std::string_view flagItem;
  std::string_view invalidStatus;
  // With BadPattern, when the compiler said where: not when it failed otherwise (memory).
  std::optional<PatternFault> patternFault;
};

// The rule the parts make, its combined pattern compiled: the one way rules are built, by the
// parser and by everything that makes rules without a file.
BuiltRule BuildRule(const RuleParts& parts);

}  // namespace vortane
