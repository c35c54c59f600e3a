// What a parse reports, as typed events, and the report httpd.parse.errors that is written
// from them for the configuration's administrator.
//
// The parser tells a ParseSink each event as it meets its line: what happened, at which
// lines, the column where it is known, and the bytes the event is about. ParseReport is the
// sink that writes the report; the checker (tools/) is another, which reads the events and
// never the report's wording.
//
// Each message of the report is 8-bit text ending in CR LF, written at once, in the order
// the parser meets its line. The report has no header, time stamp or summary; an empty report
// means the last load found nothing to report. Line numbers count from 1 at the file's first
// line.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/files.h"

namespace vortane {

// Why a file could not be read, as the report says it: "access denied", "out of file
// handles or memory", "in use by another program", "changed while being read", "read error".
std::string_view ReadFailureText(platform::ReadFailure failure);

// What a parse met, and the message the report writes for it.
enum class ParseEventKind {
  // "Section [Vortane] not found"
  SectionNotFound,
  // "Line N: Unrecognized string: " + the line's bytes (text) as they are
  UnrecognizedLine,
  // "Bad regular expression at lines A - B"
  BadRegularExpression,
  // "Lines A - B: RewriteCond directive(s) without matching RewriteRule or RewriteHeader"
  ConditionsWithoutRule,
  // "Line N: RepeatLimit value is greater than global limit. Global setting will be used"
  RepeatLimitAboveGlobal,
  // "Line N: CacheClockRate directive ignored. It could be used only in the global ..."
  CacheClockRateInSiteFile,
  // "Line N: Invalid value in the CacheClockRate directive. Default will be used"
  InvalidCacheClockRate,
  // "Lines A - B: Invalid redirect status R=DIGITS (use 301, 302, 303, 307 or 308). The rule
  // and its conditions are ignored", with the digits as text
  InvalidRedirectStatus,
  // "Lines A - B: A redirect status with another R in the flag list. The rule and its
  // conditions are ignored"
  RepeatedRedirect,
  // "Line N: Line cut at the 2 MiB limit. Ignored"
  LineCutAtLimit,
};

struct ParseEvent {
  ParseEventKind kind;
  // The line (N above), or the first line of a rule's group (A): 0 for SectionNotFound.
  uint32_t firstLine = 0;
  // The last line the event covers: the rule line (B), the last condition; else firstLine.
  uint32_t lastLine = 0;
  // Where exactly, when known: for BadRegularExpression the line and column (from 1) of the
  // byte the pattern compiler stopped at, or 0 and 0 when it gave no position; for
  // InvalidRedirectStatus and RepeatedRedirect the column of the R item on the rule line.
  uint32_t line = 0;
  uint32_t column = 0;
  // UnrecognizedLine: the line. InvalidRedirectStatus: the digits. BadRegularExpression: the
  // compiler's description of the fault, "" when there is none.
  std::string_view text;
};

// Receives the events of one parse, in order.
class ParseSink {
 public:
  virtual void Event(const ParseEvent& event) = 0;

 protected:
  ~ParseSink() = default;
};

// The sink that writes the report httpd.parse.errors: each event as its message.
class ParseReport final : public ParseSink {
 public:
  // Every message goes to `write` as one or more pieces of bytes.
  explicit ParseReport(std::function<void(std::string_view)> write) : write_(std::move(write)) {}

  void Event(const ParseEvent& event) override;
  // "File cannot be read: " + why (ReadFailureText). The only message of a load that could
  // not read an existing file; not a parse event, since nothing was parsed.
  void FileUnreadable(platform::ReadFailure failure);

 private:
  void LineMessage(const char* prefix, uint32_t line, std::string_view rest);

  std::function<void(std::string_view)> write_;
};

}  // namespace vortane
