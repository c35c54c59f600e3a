#include "rules/rule.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace vortane {

const FlagMeaning* LookUpFlag(char letter) {
  for (const FlagMeaning& flag : kFlags) {
    if (flag.letter == letter) return &flag;
  }
  return nullptr;
}

FlagList ReadFlagList(std::string_view text) {
  FlagList list;
  // The R items: a status given with R stands alone ("[R,R]" is as good as "[R]", but
  // "[R=301,R]" says two things).
  size_t redirects = 0;
  bool statusGiven = false;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    const FlagMeaning* flag = item.empty() ? nullptr : LookUpFlag(item[0]);
    if (flag == nullptr) continue;
    list.ruleBits |= flag->ruleBits;
    list.conditionBits |= flag->conditionBits;
    list.ignoreCase = list.ignoreCase || flag->ignoreCase;
    if (!flag->takesStatus) continue;
    if (redirects++ == 0) list.redirectItem = item;
    if (item.size() < 2) continue;  // "=" and the digits follow the letter
    statusGiven = true;
    uint32_t statusBits = 0;
    if (LookUpRedirectStatus(item.substr(2), statusBits)) {
      list.ruleBits |= statusBits;
    } else if (list.invalidStatus.empty()) {
      list.invalidStatus = item.substr(2);
      list.invalidItem = item;
    }
  }
  list.repeatedRedirect = statusGiven && redirects > 1;
  return list;
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

const FileTestMeaning* LookUpFileTest(bool isServerVariable, std::string_view name,
                                      std::string_view pattern) {
  if (!isServerVariable || name != kRequestFilename) return nullptr;
  for (const FileTestMeaning& test : kFileTests) {
    if (test.text == pattern) return &test;
  }
  return nullptr;
}

std::string_view FileTestText(FileTest test) {
  for (const FileTestMeaning& meaning : kFileTests) {
    if (meaning.test == test) return meaning.text;
  }
  return {};
}

bool IsFileTest(const ConditionParts& condition) {
  return LookUpFileTest(condition.isServerVariable, condition.name, condition.pattern) != nullptr;
}

Rule::Rule(const Rule& other)
    : joinedPattern(other.joinedPattern),
      format(other.format),
      target(other.target),
      conditions(other.conditions),
      fileTests(other.fileTests),
      line(other.line),
      targetSlot(other.targetSlot),
      flags_(other.Flags()) {}

Rule& Rule::operator=(const Rule& other) {
  if (this != &other) {
    joinedPattern = other.joinedPattern;
    format = other.format;
    target = other.target;
    conditions = other.conditions;
    fileTests = other.fileTests;
    line = other.line;
    targetSlot = other.targetSlot;
    SetFlags(other.Flags());
  }
  return *this;
}

std::string CombinePatternText(const std::vector<std::string_view>& conditionPatterns,
                               std::string_view rulePattern) {
  std::string text;
  for (std::string_view condition : conditionPatterns) {
    text.append(condition);
    text += '\n';
  }
  text.append(rulePattern);
  return text;
}

BuiltRule BuildRule(const RuleParts& parts) {
  BuiltRule built;
  const FlagList flags = ReadFlagList(parts.flags);
  if (!flags.invalidStatus.empty()) {
    built.error = RuleError::InvalidRedirectStatus;
    built.flagItem = flags.invalidItem;
    built.invalidStatus = flags.invalidStatus;
    return built;
  }
  if (flags.repeatedRedirect) {
    built.error = RuleError::RepeatedRedirect;
    built.flagItem = flags.redirectItem;
    return built;
  }
  Rule& rule = built.rule;
  std::vector<std::string_view> conditionPatterns;
  for (const ConditionParts& c : parts.conditions) {
    Condition condition{std::string(c.name), ReadFlagList(c.flags).conditionBits,
                        c.isServerVariable, c.line};
    condition.computed = c.isServerVariable && c.name == kRequestFilename;
    if (const FileTestMeaning* test = LookUpFileTest(c.isServerVariable, c.name, c.pattern)) {
      condition.fileTest = test->test;
      rule.fileTests.push_back(std::move(condition));
      continue;
    }
    rule.AppendCondition(condition);
    conditionPatterns.push_back(c.pattern);
  }
  rule.SetFlags(flags.ruleBits);
  rule.line = parts.line;
  const std::string combined = CombinePatternText(conditionPatterns, parts.pattern);
  try {
    rule.joinedPattern = CompilePrefiltered(combined, flags.ignoreCase);
  } catch (const bad_expression& error) {
    built.error = RuleError::BadPattern;
    // The compiler may place the fault at the end, or nowhere (-1): held to a byte of the
    // pattern (a combined pattern is never empty: the grammar gives each part a byte).
    const auto last = static_cast<std::ptrdiff_t>(combined.empty() ? 0 : combined.size() - 1);
    built.patternFault = PatternFault{
        static_cast<size_t>(std::clamp<std::ptrdiff_t>(error.position(), 0, last)), error.what()};
    return built;
  } catch (...) {  // a pattern too large to compile
    built.error = RuleError::BadPattern;
    return built;
  }
  rule.format = std::string(parts.format);
  rule.target = std::string(parts.target);
  return built;
}

}  // namespace vortane
