#include "tools/check/lines.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "base/text.h"

namespace vortane::tools::check {

std::vector<Word> Words(std::string_view line) {
  std::vector<Word> words;
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t') {
      ++i;
      continue;
    }
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    words.push_back({line.substr(start, i - start), static_cast<uint32_t>(start + 1)});
  }
  return words;
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  LineReader reader(text);
  for (std::string_view line; reader.Next(line);) lines.push_back(line);
  return lines;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = LowerAscii(c);
  return lower;
}

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = UpperAscii(c);
  return upper;
}

size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

bool IsDirective(std::string_view word) {
  return std::find(std::begin(kDirectives), std::end(kDirectives), word) != std::end(kDirectives);
}

bool IsTokenByte(char c) {
  static const std::string_view extra = "!#$%&'*+-.^_`|~";
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || extra.find(c) != std::string::npos;
}

bool IsWordSubject(std::string_view subject) {
  return subject == "URL" || subject == "METHOD" || subject == "VERSION";
}

namespace {

// The line `text` with `letter` in its flag list: the last word when it is one, else a new
// list at the end.
std::string WithFlag(std::string_view text, char letter) {
  const std::vector<Word> words = Words(text);
  std::string line(text);
  if (!words.empty() && words.back().text.size() >= 2 && words.back().text.front() == '[' &&
      words.back().text.back() == ']') {
    const size_t close = words.back().column - 1 + words.back().text.size() - 1;
    line.insert(close,
                words.back().text.size() == 2 ? std::string(1, letter) : std::string(",") + letter);
    return line;
  }
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
  return line + " [" + letter + "]";
}

}  // namespace

void DiagnosticList::Add(Severity severity, uint32_t line, uint32_t column, std::string code,
                         std::string message, std::string hint, const Edit& edit) {
  Diagnostic d;
  d.file = file_;
  d.line = line;
  d.column = column;
  d.severity = severity;
  d.code = std::move(code);
  d.message = std::move(message);
  d.hint = std::move(hint);
  if (line >= 1 && line <= facts_.size()) d.source = std::string(facts_[line - 1].text);
  if (edit.kind == Edit::Kind::kLines) {
    d.fixFirstLine = edit.firstLine == 0 ? line : edit.firstLine;
    d.fixLastLine = edit.lastLine == 0 ? line : edit.lastLine;
    d.fixText = edit.text;
  } else if (edit.kind != Edit::Kind::kNone && line >= 1 && line <= facts_.size()) {
    d.fixFirstLine = d.fixLastLine = line;
    if (edit.kind == Edit::Kind::kAddFlag) {
      d.fixText = WithFlag(d.source, edit.text[0]) + "\n";
    } else {
      d.fixText = d.source;
      d.fixText.replace(edit.column - 1, edit.length, edit.text);
      d.fixText += "\n";
    }
  }
  out_.push_back(std::move(d));
}

std::vector<Diagnostic> DiagnosticList::Sorted() && {
  std::stable_sort(out_.begin(), out_.end(),
                   [](const Diagnostic& a, const Diagnostic& b) { return a.line < b.line; });
  return std::move(out_);
}

}  // namespace vortane::tools::check
