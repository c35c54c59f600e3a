#include "rules/rule.h"

#include <iterator>

namespace vortane {

bool LookUpFlagLetter(char letter, FlagLetter& meaning) {
  switch (letter) {
    case 'L':
      meaning = {RuleFlag::Last, false};
      return true;
    case 'R':
      meaning = {RuleFlag::Redirect, false};
      return true;
    case 'N':
      meaning = {RuleFlag::Restart, false};
      return true;
    case 'F':
      meaning = {RuleFlag::Forbidden, false};
      return true;
    case 'U':
      meaning = {RuleFlag::LogRequestedUrl, false};
      return true;
    case 'O':
      meaning = {RuleFlag::Normalize, false};
      return true;
    case 'I':
      meaning = {0, true};
      return true;
    default:
      return false;
  }
}

namespace {

// Where RuleFlag::RedirectStatus starts.
constexpr uint32_t kStatusShift = 16;
static_assert(RuleFlag::RedirectStatus >> kStatusShift == 0x7);
static_assert(std::size(kRedirectStatuses) <= 8);

}  // namespace

bool LookUpRedirectStatus(std::string_view digits, uint32_t& bits) {
  for (uint32_t i = 0; i < std::size(kRedirectStatuses); ++i) {
    if (digits == std::to_string(kRedirectStatuses[i].code)) {
      bits = i << kStatusShift;
      return true;
    }
  }
  return false;
}

const RedirectStatus& RedirectStatusOf(uint32_t bits) {
  const uint32_t index = (bits & RuleFlag::RedirectStatus) >> kStatusShift;
  return index < std::size(kRedirectStatuses) ? kRedirectStatuses[index] : kRedirectStatuses[0];
}

Rule::Rule(const Rule& other)
    : pattern(other.pattern),
      format(other.format),
      target(other.target),
      conditions(other.conditions),
      line(other.line),
      flags_(other.Flags()) {}

Rule& Rule::operator=(const Rule& other) {
  if (this != &other) {
    pattern = other.pattern;
    format = other.format;
    target = other.target;
    conditions = other.conditions;
    line = other.line;
    SetFlags(other.Flags());
  }
  return *this;
}

}  // namespace vortane
