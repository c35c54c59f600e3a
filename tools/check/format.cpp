// The two forms of the checker's output: compiler-style text and JSON.
#include <cstdio>
#include <string>
#include <string_view>

#include "base/text.h"
#include "tools/check/check.h"

namespace vortane::tools {
namespace {

// Appends `text` as the inside of a JSON string.
void Escape(std::string& out, std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7F) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", byte);
      out += buffer;
    } else {
      out += c;
    }
  }
}

}  // namespace

std::string FormatText(const Diagnostic& d) {
  // Every text from a file (its name, the words quoted in a message) is escaped: a control
  // byte never reaches the terminal.
  std::string out = Escaped(d.file);
  if (d.line != 0) out += ":" + std::to_string(d.line);
  if (d.column != 0) out += ":" + std::to_string(d.column);
  out += d.severity == Severity::Error ? ": error: " : ": warning: ";
  out += Escaped(d.message) + " [" + Escaped(d.code) + "]\n";
  if (d.line != 0 && !d.source.empty()) {
    constexpr size_t kShown = 200;
    const std::string_view source = std::string_view(d.source).substr(0, kShown);
    std::string shown = "  ", caret = "  ";
    for (size_t i = 0; i < source.size(); ++i) {
      const auto byte = static_cast<unsigned char>(source[i]);
      const bool tab = byte == '\t';
      shown += tab || (byte >= 0x20 && byte < 0x7F) ? source[i] : '?';
      if (i + 1 < d.column) caret += tab ? '\t' : ' ';
    }
    out += shown + (d.source.size() > kShown ? "...\n" : "\n");
    if (d.column != 0 && d.column <= kShown + 1) out += caret + "^\n";
  }
  if (!d.hint.empty()) out += "  hint: " + Escaped(d.hint) + "\n";
  return out;
}

std::string FormatJson(const std::vector<Diagnostic>& diagnostics) {
  std::string out = "[";
  for (size_t i = 0; i < diagnostics.size(); ++i) {
    const Diagnostic& d = diagnostics[i];
    out += i == 0 ? "\n  {\"file\": \"" : ",\n  {\"file\": \"";
    Escape(out, d.file);
    out += "\", \"line\": " + std::to_string(d.line) + ", \"column\": " + std::to_string(d.column) +
           ", \"severity\": \"" + (d.severity == Severity::Error ? "error" : "warning") +
           "\", \"message\": \"";
    Escape(out, d.message);
    out += "\", \"code\": \"";
    Escape(out, d.code);
    out += "\", \"hint\": \"";
    Escape(out, d.hint);
    out += "\"}";
  }
  out += diagnostics.empty() ? "]\n" : "\n]\n";
  return out;
}

}  // namespace vortane::tools
