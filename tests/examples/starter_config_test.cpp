// The starter httpd.ini shipped in the release package: as shipped it is a valid global file
// that does nothing, and every example directive in it is valid once its "#" is deleted.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "config/parser.h"

namespace vortane {
namespace {

// The directives an example line may hold; an example is "#" directly followed by one.
const char* const kDirectives[] = {"RewriteRule", "RewriteCond", "RewriteHeader", "RepeatLimit",
                                   "CacheClockRate"};

std::string ReadStarter() {
  std::ifstream in(VORTANE_STARTER_CONFIG, std::ios::binary);
  EXPECT_TRUE(in) << "cannot open " << VORTANE_STARTER_CONFIG;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Parses `text` as the global file; returns the report's bytes.
std::string ParseGlobal(const std::string& text, ParsedConfig& parsed) {
  std::string report;
  ParseReport writer([&report](std::string_view bytes) { report.append(bytes); });
  parsed = ParseConfigText(text, {0, kInitialGlobalRepeatLimit}, writer);
  return report;
}

TEST(StarterConfigTest, ShippedFileIsValidAndInactive) {
  ParsedConfig parsed;
  EXPECT_EQ(ParseGlobal(ReadStarter(), parsed), "");
  EXPECT_TRUE(parsed.rules.empty());
  EXPECT_TRUE(parsed.settings.empty());
}

TEST(StarterConfigTest, EveryExampleIsValidOnceUncommented) {
  std::istringstream lines(ReadStarter());
  std::string uncommented;
  int examples[std::size(kDirectives)] = {};
  for (std::string line; std::getline(lines, line);) {
    for (size_t i = 0; i < std::size(kDirectives); ++i) {
      if (line.rfind(std::string("#") + kDirectives[i] + " ", 0) == 0) {
        line.erase(0, 1);
        ++examples[i];
      }
    }
    uncommented += line + "\n";
  }
  for (size_t i = 0; i < std::size(kDirectives); ++i) {
    EXPECT_GT(examples[i], 0) << "no example of " << kDirectives[i];
  }

  ParsedConfig parsed;
  EXPECT_EQ(ParseGlobal(uncommented, parsed), "");
  // Every RewriteRule and RewriteHeader example became a rule, every setting took effect.
  EXPECT_EQ(parsed.rules.size(), size_t(examples[0] + examples[2]));
  EXPECT_EQ(parsed.settings.size(), size_t(examples[3] + examples[4]));
}

}  // namespace
}  // namespace vortane
