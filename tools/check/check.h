// The configuration checker behind vortane-check: explains, line by line and column by column,
// what the filter does not use in an httpd.ini file (errors) and what it uses in a way its
// author likely did not mean (warnings).
//
// The errors are exactly the messages of the filter's own report: the file is parsed by the
// filter's parser (ParseConfigText) with the checker as the sink of its typed events (the
// report is one other sink), and each event is explained from its kind and the lines and
// column it names, never from the report's wording. Nothing is written beside the checked
// file. Pure functions over their arguments apart from CheckPath's reads: any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "config/parser.h"

namespace vortane::tools {

enum class Severity { Error, Warning };

// One problem at one place of one file.
struct Diagnostic {
  std::string file;
  uint32_t line = 0;    // from 1; 0 when the problem is the whole file's
  uint32_t column = 0;  // byte column from 1; 0 when there is no one place
  Severity severity = Severity::Error;
  std::string code;  // a short stable name, e.g. "unknown-directive"
  std::string message;
  std::string hint;    // how to fix it; may be empty
  std::string source;  // the line's bytes as they are in the file
  // The hint as an edit of the file, when it says exactly what to write: lines
  // [fixFirstLine, fixLastLine] (from 1) become fixText, whole lines each ended by "\n"
  // (empty: the lines are removed). fixFirstLine is 0 when the hint is advice only.
  uint32_t fixFirstLine = 0;
  uint32_t fixLastLine = 0;
  std::string fixText;
};

// Checks the bytes of one configuration file (`cutAtLimit`: the file goes on beyond `text`,
// as the filter reads it). `file` names it in the diagnostics. `repeatLimitAfter`, when
// given, receives the repeat limit in force once the file is parsed (the global file's sets
// the limit its sites are checked against). Diagnostics come in line order. Cost: one parse
// by the filter's parser, plus a few more of single lines and a recompilation of each rule
// the parser refused.
std::vector<Diagnostic> CheckConfigText(std::string_view text, const std::string& file,
                                        const ParseContext& context, bool cutAtLimit = false,
                                        int32_t* repeatLimitAfter = nullptr);

// Checks what `path` names: an httpd.ini file (checked as the global file), or a directory the
// filter is loaded from: its httpd.ini, then the httpd.ini of each site its sites.txt lists,
// in site-number order. Files are read as the filter reads them (regular files only, at most
// 2 MiB). A file that exists and cannot be read is an error ("unreadable"). In a directory, a
// missing httpd.ini, or one that is not a regular file, is no diagnostic (the filter runs
// that site without rules) but a line in `notes`, when given: "PATH: no such file or
// directory: site 2 runs without its rules". Throws std::runtime_error when `path` names
// neither a regular file nor a directory, with what it is: "PATH: no such file or directory",
// "PATH: not a regular file (a FIFO, device or socket)", "PATH: too many levels of symbolic
// links".
std::vector<Diagnostic> CheckPath(const std::filesystem::path& path,
                                  std::vector<std::string>* notes = nullptr);

// `text` with the fixes of `diagnostics` (found in `text`) applied: each one whose lines no
// earlier one in the list changed. Lines keep their bytes otherwise; a changed line ends
// with "\n".
std::string ApplyFixes(std::string_view text, const std::vector<Diagnostic>& diagnostics);

// `text` with every hint that says what to write applied, checking again after each round,
// until no hint has a fix left or `rounds` rounds have run; what an administrator gets who
// follows every hint. Cost: a check per round.
std::string ApplyHints(std::string_view text, const ParseContext& context, int rounds = 16);

// The diagnostic compiler style: "FILE:LINE:COLUMN: error: MESSAGE [CODE]", the line (control
// and non-ASCII bytes shown as "?", one column each) with a caret under the column, then
// "  hint: ..." when there is a hint. The file, message and hint are Escaped (base/text.h):
// no control byte of a file reaches the terminal. Each line ends with "\n".
std::string FormatText(const Diagnostic& diagnostic);

// All diagnostics as one JSON array of objects with the members file, line, column,
// severity ("error" or "warning"), message, code and hint. Bytes outside printable ASCII are
// escaped as \u00XX, so the output is valid JSON whatever the file holds.
std::string FormatJson(const std::vector<Diagnostic>& diagnostics);

}  // namespace vortane::tools
