// What the command-line programs share around their own work: the usage text on request,
// and one exit status per kind of failure.
#pragma once

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string_view>

namespace vortane::tools {

// Arguments that cannot be used: the program exits with status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The body of a program's main. Without arguments prints `usage` to stderr (status 2); with
// --help or -h alone prints it to stdout (status 0). Otherwise runs run(parse(argc, argv)):
// a UsageError gives status 2, any other exception status 1, each with a message on stderr
// that starts with `program`.
template <typename Parse, typename Run>
int RunCommand(const char* program, const char* usage, int argc, char** argv, Parse parse,
               Run run) {
  if (argc == 1 ||
      (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h"))) {
    std::fputs(usage, argc == 1 ? stderr : stdout);
    return argc == 1 ? 2 : 0;
  }
  try {
    return run(parse(argc, argv));
  } catch (const UsageError& error) {
    std::fprintf(stderr, "%s: %s (run %s --help for the options)\n", program, error.what(),
                 program);
    return 2;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", program, error.what());
    return 1;
  }
}

}  // namespace vortane::tools
