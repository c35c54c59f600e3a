// Fuzzes the configuration parser with whole files. The first byte chooses the global file
// (even) or a site's (odd); the rest is the file. Every input must give a configuration and
// a report, and every rule it accepts must have a valid pattern.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "config/parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint32_t siteId = data[0] & 1;
  const std::string_view file(reinterpret_cast<const char*>(data) + 1,
                              std::min(size - 1, vortane::kMaxConfigBytes));
  size_t reported = 0;
  vortane::ParseReport report([&reported](std::string_view bytes) { reported += bytes.size(); });
  const vortane::ParsedConfig parsed = vortane::ParseConfigText(file, {siteId}, report);
  for (const vortane::Rule& rule : parsed.rules) {
    if (!rule.HasValidPattern()) __builtin_trap();
  }
  return 0;
}
