// The checker's warnings: what the filter uses in a way its author likely did not mean.
// Read from the lines the parser accepted, once the parse is done.
#pragma once

#include <vector>

#include "tools/check/lines.h"

namespace vortane::tools::check {

// Adds to `out` the warnings about the lines of `facts` after the section header, with the
// lines the parser did not use or dropped already marked in `facts`.
void AddWarnings(const std::vector<LineFacts>& facts, DiagnosticList& out);

}  // namespace vortane::tools::check
