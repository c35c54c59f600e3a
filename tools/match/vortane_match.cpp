// vortane-match: tries one rule pattern and substitution on the command line.
//
//   vortane-match [-i] PATTERN SUBJECT [SUBSTITUTION]
//
// Compiles PATTERN in the configuration dialect (case-insensitively with -i), matches it
// against the whole SUBJECT within the filter's 500 ms limit, and prints the groups and,
// when given, the expanded SUBSTITUTION. A subject may hold conditions' values: write them
// first, each followed by a line break, exactly as the filter joins them.
#include <cstdio>
#include <cstring>
#include <string>

#include "regex/expression.h"
#include "regex/substitution.h"
#include "regex/timed_match.h"

namespace {

void PrintQuoted(const char* label, const char* first, const char* last) {
  std::printf("%s\"", label);
  for (const char* p = first; p != last; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte == '\n') {
      std::printf("\\n");
    } else if (byte == '\\' || byte == '"') {
      std::printf("\\%c", byte);
    } else if (byte < 0x20 || byte >= 0x7F) {
      std::printf("\\x%02x", byte);
    } else {
      std::printf("%c", byte);
    }
  }
  std::printf("\"\n");
}

}  // namespace

int main(int argc, char** argv) {
  int arg = 1;
  const bool ignoreCase = arg < argc && std::strcmp(argv[arg], "-i") == 0;
  if (ignoreCase) ++arg;
  if (argc - arg < 2 || argc - arg > 3) {
    std::fprintf(stderr, "usage: vortane-match [-i] PATTERN SUBJECT [SUBSTITUTION]\n");
    return 2;
  }
  const std::string pattern = argv[arg];
  const std::string subject = argv[arg + 1];

  vortane::Expression expression;
  try {
    expression = vortane::CompilePattern(pattern, ignoreCase);
  } catch (const vortane::bad_expression& error) {
    std::printf("Bad regular expression: %s\n", error.what());
    return 1;
  }

  vortane::MatchResults groups;
  try {
    const char* first = subject.data();
    if (!vortane::TimedMatch(first, first + subject.size(), groups, expression,
                             vortane::MatchTimeLimit, boost::match_not_dot_newline)) {
      std::printf("no match\n");
      return 1;
    }
  } catch (const vortane::bad_expression& error) {
    std::printf("stopped: %s\n", error.what());
    return 1;
  }

  std::printf("match\n");
  for (size_t i = 0; i < groups.size(); ++i) {
    char label[32];
    std::snprintf(label, sizeof label, "  $%zu = ", i);
    if (groups[i].matched) {
      PrintQuoted(label, groups[i].first.base(), groups[i].second.base());
    } else {
      std::printf("%s(did not take part)\n", label);
    }
  }
  if (arg + 2 < argc) {
    const std::string output = vortane::FormatSubstitution(argv[arg + 2], groups);
    PrintQuoted("result: ", output.data(), output.data() + output.size());
  }
  return 0;
}
