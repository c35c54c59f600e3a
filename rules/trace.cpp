#include "rules/trace.h"

#include <cstdio>
#include <utility>

namespace vortane {
namespace {

// "=301" for flags or result bits that redirect with a status other than 302; "" otherwise.
// Redirect and the status bits sit at the same places in both.
std::string StatusSuffix(uint32_t bits) {
  if ((bits & RuleFlag::Redirect) == 0 || (bits & RuleFlag::RedirectStatus) == 0) return {};
  return "=" + std::to_string(RedirectStatusOf(bits).code);
}

}  // namespace

std::string ResultNames(uint32_t result) {
  static const std::pair<uint32_t, const char*> kNames[] = {
      {RuleResult::Matched, "Matched"},
      {RuleResult::NoMatch, "NoMatch"},
      {RuleResult::InvalidPattern, "InvalidPattern"},
      {RuleResult::Timeout, "Timeout"},
      {RuleResult::Unreadable, "Unreadable"},
      {RuleResult::Stop, "Stop"},
      {RuleResult::Redirect, "Redirect"},
      {RuleResult::Restart, "Restart"},
      {RuleResult::Forbidden, "Forbidden"},
      {RuleResult::LogMark, "LogMark"},
  };
  if (result == 0) return "0";
  const std::string status = StatusSuffix(result);
  if ((result & RuleResult::Redirect) != 0) result &= ~RuleResult::RedirectStatus;
  std::string names;
  for (const auto& [bit, name] : kNames) {
    if ((result & bit) == 0) continue;
    if (!names.empty()) names += '|';
    names += name;
    if (bit == RuleResult::Redirect) names += status;
    result &= ~bit;
  }
  if (result != 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(result));
    if (!names.empty()) names += '|';
    names += hex;
  }
  return names;
}

std::string FlagListText(const Rule& rule) {
  std::string letters;
  const auto add = [&letters](char letter) {
    if (!letters.empty()) letters += ',';
    letters += letter;
  };
  // I first (it sets no bit), then the letters in the order of their bits.
  for (const FlagMeaning& flag : kFlags) {
    if (flag.ignoreCase && rule.HasValidPattern() && rule.joinedPattern.IgnoresCase()) {
      add(flag.letter);
    }
  }
  const uint32_t flags = rule.Flags();
  for (uint32_t bit = 1; bit != 0; bit <<= 1) {
    if ((flags & bit) == 0) continue;
    for (const FlagMeaning& flag : kFlags) {
      if (flag.ruleBits != bit) continue;
      add(flag.letter);
      if (flag.takesStatus) letters += StatusSuffix(flags);
    }
  }
  return letters;
}

}  // namespace vortane
