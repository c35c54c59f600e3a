#include "tools/runner/command_line.h"

#include <algorithm>
#include <optional>
#include <string>

#include "base/text.h"

namespace vortane::tools {
namespace {

bool Contains(const std::vector<std::string_view>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

std::vector<std::string_view> WalkArguments(
    int argc, char** argv, const OptionNames& names,
    const std::function<void(std::string_view name, std::string_view value)>& onOption) {
  std::vector<std::string_view> positional;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg.substr(0, 2) != "--") {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    const size_t equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    std::optional<std::string_view> value;
    if (equals != std::string_view::npos) value = arg.substr(equals + 1);
    if (Contains(names.flags, name)) {
      if (value) throw UsageError("option " + std::string(name) + " takes no value");
      onOption(name, {});
      continue;
    }
    if (!Contains(names.valued, name)) throw UsageError("unknown option " + std::string(name));
    if (!value) {
      if (i + 1 >= argc) throw UsageError("option " + std::string(name) + " needs a value");
      value = argv[++i];
    }
    onOption(name, *value);
  }
  return positional;
}

uint32_t ParseSiteNumber(std::string_view text) {
  const std::optional<uint64_t> value = ParseDecimal(text, UINT32_MAX);
  if (!value || *value == 0) {
    throw UsageError("bad site number '" + std::string(text) + "': expected 1 to 4294967295");
  }
  return static_cast<uint32_t>(*value);
}

}  // namespace vortane::tools
