// Why the filter refuses a line: the errors of the checker, worked out from the line's words
// once the parser has said that it does not use the line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/check/lines.h"

namespace vortane::tools::check {

// The redirect statuses R=NNN can give, for hints.
inline constexpr char kRedirectStatusHint[] =
    "write R=301 (moved permanently), R=302 (the same as R), R=303 (see other), R=307 or "
    "R=308 (temporary and permanent, the method kept)";

// One reason for one line.
struct Problem {
  uint32_t column;
  std::string message;
  std::string hint;
  std::string code = "unrecognized-line";
  Edit edit = {};  // what the hint writes, when it says exactly
};

// Why the filter does not recognise a body line (one that has at least one word).
Problem ExplainLine(const LineFacts& facts);

// Why no line of the file is the section header: the diagnostic of a file the parser found
// no section in (a line and column of 0 when no line is nearly the header).
Diagnostic ExplainMissingSection(const std::vector<std::string_view>& lines);

}  // namespace vortane::tools::check
