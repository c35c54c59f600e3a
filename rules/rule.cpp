#include "rules/rule.h"

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
