// The parse error report: the messages written to httpd.parse.errors beside a configuration
// file, for its administrator.
//
// Each message is 8-bit text ending in CR LF, written at once, in the order the parser
// meets its line. The report has no header, time stamp or summary; an empty report means the
// last load found nothing to report. Line numbers count from 1 at the file's first line.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/files.h"

namespace vortane {

// Why a file could not be read, as the report says it: "access denied", "out of file
// handles or memory", "in use by another program", "changed while being read", "read error".
std::string_view ReadFailureText(platform::ReadFailure failure);

class ParseReport {
 public:
  // Every message goes to `write` as one or more pieces of bytes.
  explicit ParseReport(std::function<void(std::string_view)> write) : write_(std::move(write)) {}

  // "Section [Vortane] not found"
  void SectionNotFound();
  // "Line N: Unrecognized string: " + the line's bytes as they are
  void UnrecognizedLine(uint32_t line, std::string_view text);
  // "Bad regular expression at lines A - B"
  void BadRegularExpression(uint32_t firstLine, uint32_t ruleLine);
  // "Lines A - B: RewriteCond directive(s) without matching RewriteRule or RewriteHeader"
  void ConditionsWithoutRule(uint32_t firstLine, uint32_t lastLine);
  // "Line N: RepeatLimit value is greater than global limit. Global setting will be used"
  void RepeatLimitAboveGlobal(uint32_t line);
  // "Line N: CacheClockRate directive ignored. It could be used only in the global ..."
  void CacheClockRateInSiteFile(uint32_t line);
  // "Line N: Invalid value in the CacheClockRate directive. Default will be used"
  void InvalidCacheClockRate(uint32_t line);
  // "Lines A - B: Invalid redirect status R=DIGITS (use 301, 302, 303, 307 or 308). The rule
  // and its conditions are ignored"
  void InvalidRedirectStatus(uint32_t firstLine, uint32_t ruleLine, std::string_view digits);
  // "Lines A - B: A redirect status with another R in the flag list. The rule and its
  // conditions are ignored"
  void RepeatedRedirect(uint32_t firstLine, uint32_t ruleLine);
  // "Line N: Line cut at the 2 MiB limit. Ignored"
  void LineCutAtLimit(uint32_t line);
  // "File cannot be read: " + why (ReadFailureText). The only message of a load that could
  // not read an existing file.
  void FileUnreadable(platform::ReadFailure failure);

 private:
  void LineMessage(const char* prefix, uint32_t line, std::string_view rest);

  std::function<void(std::string_view)> write_;
};

}  // namespace vortane
