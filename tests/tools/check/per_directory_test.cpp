// Apache's patterns, found anywhere in a path, written as patterns on the whole URL: the
// shapes the translation takes, and those it refuses because no pattern here says the same.
#include "tools/check/per_directory.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vortane::tools::check {
namespace {

TEST(PerDirectoryTest, PatternsStayInsideThePath) {
  const struct {
    const char* apache;
    bool fromSlash;
    std::optional<std::string> written;
  } cases[] = {
      {"^index\\.php$", false, "^/index\\.php(?:\\?.*)?$"},
      {"\\.css", false, "^/[^?]*?\\.css[^?]*(?:\\?.*)?$"},
      {"^a/.*", false, "^/a/[^?]*(?:\\?.*)?$"},        // no second run after ".*"
      {"[^/]+$", false, "^/[^?]*?[^?/]+(?:\\?.*)?$"},  // a negated set leaves "?" out
      {"[^-]x", false, "^/[^?]*?(?:(?!\\?)[^-])x[^?]*(?:\\?.*)?$"},
      // Another member could change how the matcher reads the "-" of a range ("[^?*--/]").
      {"[^*--/]", false, "^/[^?]*?(?:(?!\\?)[^*--/])[^?]*(?:\\?.*)?$"},
      {"\\W*$", false, "^/[^?]*?(?:(?!\\?)\\W)*(?:\\?.*)?$"},  // the repeat repeats the test
      {"[[:punct:]]", false, "^/[^?]*?(?:(?!\\?)[[:punct:]])[^?]*(?:\\?.*)?$"},
      {"[^?#]", false, "^/[^?]*?[^?#][^?]*(?:\\?.*)?$"},  // "?" is already left out
      {"a($|/)", false, "^/[^?]*?a((?![^?])|/)[^?]*(?:\\?.*)?$"},
      {"^$|x", false, "^/(?:(?:)|[^?]*?x[^?]*)(?:\\?.*)?$"},
      {"/core/", true, "^[^?]*?/core/[^?]*(?:\\?.*)?$"},
      // A start of the path inside a group, a literal "?" (a decoded %3F), the subject's own
      // ends: nothing here says them.
      {"(^a|b)", false, std::nullopt},
      {"a\\?b", false, std::nullopt},
      {"\\Aa", false, std::nullopt},
      {"(", false, std::nullopt},
      {"{2}|#", false, std::nullopt},  // literal only where nothing stands before it
      {"a$*", false, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PathPattern(c.apache, c.fromSlash, QueryTail::kSkip), c.written) << c.apache;
  }
  EXPECT_EQ(PathPattern("^$", false, QueryTail::kCapture), "^/(\\?.*)?$");
  EXPECT_EQ(PathPattern("^$", false, QueryTail::kCaptureValue), "^/(?:\\?(.*))?$");
  EXPECT_EQ(NegatedPathPattern("core"), "^(?![^?]*?core[^?]*(?:\\?.*)?$).*$");
  EXPECT_EQ(EqualPathPattern("/a.b", false), "^/a\\.b(?:\\?.*)?$");
  EXPECT_EQ(EqualPathPattern("/a?b", true), std::nullopt);
}

}  // namespace
}  // namespace vortane::tools::check
