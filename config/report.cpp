#include "config/report.h"

#include <string>

namespace vortane {

void ParseReport::LineMessage(const char* prefix, uint32_t line, std::string_view rest) {
  std::string message = prefix;
  message += std::to_string(line);
  message += rest;
  write_(message);
}

void ParseReport::SectionNotFound() {
  write_("Section [Vortane] not found\r\n");
}

void ParseReport::UnrecognizedLine(uint32_t line, std::string_view text) {
  // The prefix, the line and the line end are three writes: the line is echoed as it is,
  // however long, without being copied.
  LineMessage("Line ", line, ": Unrecognized string: ");
  write_(text);
  write_("\r\n");
}

void ParseReport::BadRegularExpression(uint32_t firstLine, uint32_t ruleLine) {
  LineMessage("Bad regular expression at lines ", firstLine,
              " - " + std::to_string(ruleLine) + "\r\n");
}

void ParseReport::ConditionsWithoutRule(uint32_t firstLine, uint32_t lastLine) {
  LineMessage("Lines ", firstLine,
              " - " + std::to_string(lastLine) +
                  ": RewriteCond directive(s) without matching RewriteRule or RewriteHeader\r\n");
}

void ParseReport::RepeatLimitAboveGlobal(uint32_t line) {
  LineMessage("Line ", line,
              ": RepeatLimit value is greater than global limit. Global setting will be used\r\n");
}

void ParseReport::CacheClockRateInSiteFile(uint32_t line) {
  LineMessage("Line ", line,
              ": CacheClockRate directive ignored. It could be used only in the global "
              "configuration file\r\n");
}

void ParseReport::InvalidCacheClockRate(uint32_t line) {
  LineMessage("Line ", line,
              ": Invalid value in the CacheClockRate directive. Default will be used\r\n");
}

void ParseReport::InvalidRedirectStatus(uint32_t firstLine, uint32_t ruleLine,
                                        std::string_view digits) {
  std::string rest = " - " + std::to_string(ruleLine) + ": Invalid redirect status R=";
  rest.append(digits);
  rest += " (use 301, 302, 303, 307 or 308). The rule and its conditions are ignored\r\n";
  LineMessage("Lines ", firstLine, rest);
}

void ParseReport::RepeatedRedirect(uint32_t firstLine, uint32_t ruleLine) {
  LineMessage("Lines ", firstLine,
              " - " + std::to_string(ruleLine) +
                  ": A redirect status with another R in the flag list. The rule and its "
                  "conditions are ignored\r\n");
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

void ParseReport::LineCutAtLimit(uint32_t line) {
  LineMessage("Line ", line, ": Line cut at the 2 MiB limit. Ignored\r\n");
}

}  // namespace vortane
