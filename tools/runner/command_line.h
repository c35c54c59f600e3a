// What the command-line programs share around their own work: the usage text on request,
// one exit status per kind of failure, and one way of writing options.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string_view>
#include <vector>

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

// The options a program knows: flags stand alone ("--trace"); every other option takes a
// value, written "--name VALUE" or "--name=VALUE".
struct OptionNames {
  std::vector<std::string_view> flags;
  std::vector<std::string_view> valued;
};

// Walks argv[1..argc): an argument that starts with "--" (up to a lone "--", which ends the
// options) is an option, handed to onOption(name, value) in order, with an empty value for a
// flag; every other argument is positional, returned in order. Throws UsageError for an option
// not in `names` ("unknown option --x"), a flag given a value ("option --x takes no value"),
// and a valued option at the end without one ("option --x needs a value"); onOption may
// throw too. Linear in the arguments; the views point into argv.
std::vector<std::string_view> WalkArguments(
    int argc, char** argv, const OptionNames& names,
    const std::function<void(std::string_view name, std::string_view value)>& onOption);

// A web-site instance number as a user writes it: 1 to 4294967295 in decimal. Throws
// UsageError("bad site number 'TEXT': expected 1 to 4294967295") otherwise.
uint32_t ParseSiteNumber(std::string_view text);

}  // namespace vortane::tools
