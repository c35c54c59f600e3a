#include "config/report.h"

#include <string>

namespace vortane {

void ParseReport::LineMessage(const char* prefix, uint32_t line, std::string_view rest) {
  std::string message = prefix;
  message += std::to_string(line);
  message += rest;
  write_(message);
}

void ParseReport::Event(const ParseEvent& event) {
  const uint32_t line = event.firstLine;
  const std::string toLast = " - " + std::to_string(event.lastLine);
  switch (event.kind) {
    case ParseEventKind::SectionNotFound:
      return write_("Section [Vortane] not found\r\n");
    case ParseEventKind::UnrecognizedLine:
      // The prefix, the line and the line end are three writes: the line is echoed as it
      // is, however long, without being copied.
      LineMessage("Line ", line, ": Unrecognized string: ");
      write_(event.text);
      return write_("\r\n");
    case ParseEventKind::BadRegularExpression:
      return LineMessage("Bad regular expression at lines ", line, toLast + "\r\n");
    case ParseEventKind::ConditionsWithoutRule:
      return LineMessage(
          "Lines ", line,
          toLast + ": RewriteCond directive(s) without matching RewriteRule or RewriteHeader\r\n");
    case ParseEventKind::RepeatLimitAboveGlobal:
      return LineMessage(
          "Line ", line,
          ": RepeatLimit value is greater than global limit. Global setting will be used\r\n");
    case ParseEventKind::CacheClockRateInSiteFile:
      return LineMessage("Line ", line,
                         ": CacheClockRate directive ignored. It could be used only in the "
                         "global configuration file\r\n");
    case ParseEventKind::InvalidCacheClockRate:
      return LineMessage(
          "Line ", line,
          ": Invalid value in the CacheClockRate directive. Default will be used\r\n");
    case ParseEventKind::InvalidRedirectStatus: {
      std::string rest = toLast + ": Invalid redirect status R=";
      rest.append(event.text);
      rest += " (use 301, 302, 303, 307 or 308). The rule and its conditions are ignored\r\n";
      return LineMessage("Lines ", line, rest);
    }
    case ParseEventKind::RepeatedRedirect:
      return LineMessage("Lines ", line,
                         toLast +
                             ": A redirect status with another R in the flag list. The rule "
                             "and its conditions are ignored\r\n");
    case ParseEventKind::LineCutAtLimit:
      return LineMessage("Line ", line, ": Line cut at the 2 MiB limit. Ignored\r\n");
  }
}

std::string_view ReadFailureText(platform::ReadFailure failure) {
  switch (failure) {
    case platform::ReadFailure::AccessDenied:
      return "access denied";
    case platform::ReadFailure::NoResources:
      return "out of file handles or memory";
    case platform::ReadFailure::InUse:
      return "in use by another program";
    case platform::ReadFailure::Changed:
      return "changed while being read";
    case platform::ReadFailure::None:
    case platform::ReadFailure::Other:
      break;
  }
  return "read error";
}

void ParseReport::FileUnreadable(platform::ReadFailure failure) {
  write_("File cannot be read: " + std::string(ReadFailureText(failure)) + "\r\n");
}

}  // namespace vortane
