#include "tools/test_runner/test_file.h"

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <utility>

#include "base/text.h"
#include "platform/files.h"
#include "rules/rule.h"
#include "tools/runner/file_access.h"
#include "tools/runner/request_log.h"

namespace vortane::tools {

namespace {

// The most bytes one test may take over all its lines.
constexpr size_t kTestLimit = size_t{1} << 20;

// One word of a line, with the line it is on.
struct Word {
  std::string text;
  bool quoted = false;
  uint32_t line = 0;

  bool Is(std::string_view keyword) const { return !quoted && text == keyword; }
};

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool LooksLikeMethod(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (!((c >= 'A' && c <= 'Z') || c == '-' || c == '_')) return false;
  }
  return true;
}

bool LooksLikeVersion(std::string_view text) {
  return text.rfind("HTTP/", 0) == 0 && text.back() != ':';
}

// Reads the tests of one file, word by word.
class Parser {
 public:
  Parser(const std::string& file, const TestSink& sink) : file_(file), sink_(sink) {}

  // Takes the next line of the file, without its line break.
  void Line(std::string_view line) {
    ++lineNumber_;
    line = WithoutTrailingCRs(line);
    size_t first = 0;
    while (first < line.size() && IsBlank(line[first])) ++first;
    if (first == line.size() || line[first] == '#') return;
    if (first == 0 && !words_.empty()) {
      End();
    } else if (first > 0 && words_.empty()) {
      Fail(lineNumber_,
           "a test that starts at the line's beginning (an indented line continues "
           "the test above)");
    }
    // Memory stays bounded however many lines continue one test.
    testBytes_ += line.size();
    if (testBytes_ > kTestLimit) Fail(lineNumber_, "a test of at most 1 MiB over its lines");
    Split(line, lineNumber_, words_);
  }

  // Ends the test being read, at a new test or at the end of the file.
  void End() {
    if (!words_.empty()) sink_(TestOf(words_));
    words_.clear();
    testBytes_ = 0;
  }

  // A line longer than the line bound: a mistake at the line after the last one taken.
  [[noreturn]] void TooLong() const {
    Fail(lineNumber_ + 1, "a line of at most 128 KiB", "a longer one");
  }

 private:
  [[noreturn]] void Fail(uint32_t line, const std::string& expected,
                         const std::string& found = std::string()) const {
    throw TestFileError(file_ + ":" + std::to_string(line) + ": expected " + expected +
                        (found.empty() ? std::string() : ", found " + found));
  }

  // Appends the words of `line` to `words`.
  void Split(std::string_view line, uint32_t lineNumber, std::vector<Word>& words) const {
    size_t i = 0;
    while (i < line.size()) {
      if (IsBlank(line[i])) {
        ++i;
        continue;
      }
      Word word;
      word.line = lineNumber;
      if (line[i] == '"') {
        word.quoted = true;
        ++i;
        for (;;) {
          if (i >= line.size()) Fail(lineNumber, "a closing '\"'", "the end of the line");
          const char c = line[i++];
          if (c == '"') break;
          if (IsControlByte(static_cast<unsigned char>(c))) {
            Fail(lineNumber, "a control byte written as \\xHH", "a raw one");
          }
          if (c != '\\') {
            word.text += c;
            continue;
          }
          const char e = i < line.size() ? line[i++] : '\0';
          if (e == '\\' || e == '"') {
            word.text += e;
          } else if (e == 'r') {
            word.text += '\r';
          } else if (e == 'n') {
            word.text += '\n';
          } else if (e == 't') {
            word.text += '\t';
          } else if (e == 'x' && i + 1 < line.size() && HexDigitValue(line[i]) >= 0 &&
                     HexDigitValue(line[i + 1]) >= 0) {
            word.text +=
                static_cast<char>(HexDigitValue(line[i]) * 16 + HexDigitValue(line[i + 1]));
            i += 2;
          } else {
            Fail(lineNumber, "an escape \\\\ \\\" \\r \\n \\t or \\xHH in quotes",
                 "'\\" + Escaped(std::string_view(&e, e == '\0' ? 0 : 1)) + "'");
          }
        }
        if (i < line.size() && !IsBlank(line[i])) {
          Fail(lineNumber, "a blank after a quoted word", "'" + Escaped(line.substr(i, 1)) + "'");
        }
      } else {
        while (i < line.size() && !IsBlank(line[i])) {
          const auto c = static_cast<unsigned char>(line[i]);
          if (IsControlByte(c))
            Fail(lineNumber, "a control byte written as \\xHH in quotes", "a raw one");
          if (c == '"') Fail(lineNumber, "a quote only around a whole word", "'\"' inside one");
          word.text += line[i++];
        }
      }
      words.push_back(std::move(word));
    }
  }

  // A bare word that is the status of a redirect (R=NNN): "301".
  static bool IsRedirectStatus(const Word& word) {
    uint32_t bits = 0;
    return !word.quoted && LookUpRedirectStatus(word.text, bits);
  }

  // A word that starts a check after a response's expectation.
  static bool IsCheckWord(const Word& word) {
    return word.Is("with") || word.Is("log") || word.Is("no");
  }

  static bool IsHeaderName(const Word& word) {
    return !word.quoted && word.text.size() > 1 && word.text.back() == ':';
  }

  FileTest TestOf(const std::vector<Word>& words) const {
    FileTest test;
    test.request.file = file_;
    test.request.line = words.front().line;
    size_t arrow = 0;
    while (arrow < words.size() && !words[arrow].Is("=>")) ++arrow;
    if (arrow == words.size()) Fail(words.back().line, "'=>' and the expected outcome", "none");
    ReadRequest(words, arrow, test.request.request);
    ReadExpectation(words, arrow + 1, test.expected);
    return test;
  }

  void ReadRequest(const std::vector<Word>& words, size_t end, MemoryRequest& request) const {
    size_t i = 0;
    if (end >= 2 && !words[0].quoted && LooksLikeMethod(words[0].text))
      request.method = words[i++].text;
    if (i >= end) Fail(words[i].line, "a URL before '=>'");
    request.url = words[i++].text;
    if (i < end && !words[i].quoted && LooksLikeVersion(words[i].text)) {
      request.version = words[i++].text;
    }
    while (i < end) {
      const Word& word = words[i++];
      const auto value = [&](const char* what) -> const Word& {
        if (i >= end) Fail(word.line, what, "'=>'");
        return words[i++];
      };
      if (IsHeaderName(word)) {
        std::string name = word.text.substr(0, word.text.size() - 1);
        request.headers.emplace_back(std::move(name),
                                     value("the header's value (\"\" for an empty one)").text);
      } else if (word.Is("site")) {
        const Word& number = value("a site number");
        const std::optional<uint64_t> site = ParseDecimal(number.text, UINT32_MAX);
        if (!site || *site == 0)
          Fail(number.line, "a site number from 1", "'" + Escaped(number.text) + "'");
        request.siteId = static_cast<uint32_t>(*site);
      } else if (word.Is("secure")) {
        request.secure = true;
      } else if (word.Is("version")) {
        request.version = value("a protocol version").text;
      } else if (word.Is("method")) {
        request.method = value("a method").text;
      } else if (word.Is("var")) {
        const Word& assignment = value("NAME=VALUE");
        const size_t equals = assignment.text.find('=');
        if (equals == std::string::npos || equals == 0) {
          Fail(assignment.line, "NAME=VALUE after var", "'" + Escaped(assignment.text) + "'");
        }
        request.serverVariables.insert_or_assign(assignment.text.substr(0, equals),
                                                 assignment.text.substr(equals + 1));
      } else {
        Fail(word.line,
             "a header 'Name: value', site N, secure, method M, version V, var NAME=VALUE or '=>'",
             "'" + Escaped(word.text) + "'");
      }
    }
  }

  void ReadExpectation(const std::vector<Word>& words, size_t i, Expectation& expected) const {
    const uint32_t line = words[i - 1].line;
    if (i >= words.size()) {
      Fail(line, "redirect LOCATION, forbidden, error N, passed URL or a URL after '=>'", "none");
    }
    const Word& head = words[i++];
    const auto value = [&](const Word& after, const char* what) -> const Word& {
      if (i >= words.size()) Fail(after.line, what, "the end of the test");
      return words[i++];
    };
    if (head.Is("redirect")) {
      expected.kind = Expectation::Kind::Redirect;
      expected.status = 302;
      // "redirect 301 /x": a bare status, then the Location. "redirect 301" alone, or
      // before a check, keeps meaning the Location "301", as it always has.
      if (i + 1 < words.size() && IsRedirectStatus(words[i]) && !IsCheckWord(words[i + 1])) {
        expected.status = static_cast<int>(ParseDecimal(words[i++].text).value_or(302));
      }
      expected.location = value(head, "the Location after redirect").text;
    } else if (head.Is("forbidden")) {
      expected.kind = Expectation::Kind::Answered;
      expected.status = 403;
    } else if (head.Is("error")) {
      const Word& number = value(head, "a status code after error");
      const std::optional<uint64_t> status = ParseDecimal(number.text, 599);
      if (!status || *status < 100) {
        Fail(number.line, "a status code from 100 to 599", "'" + Escaped(number.text) + "'");
      }
      expected.kind = Expectation::Kind::Answered;
      expected.status = static_cast<int>(*status);
    } else if (head.Is("passed")) {
      expected.url = value(head, "the URL after passed").text;
    } else if (head.quoted || (!head.text.empty() && head.text.front() == '/')) {
      expected.url = head.text;
    } else {
      Fail(head.line,
           "redirect LOCATION, forbidden, error N, passed URL or a URL starting with '/'",
           "'" + Escaped(head.text) + "'");
    }
    const bool passed = expected.kind == Expectation::Kind::PassedOn;
    while (i < words.size()) {
      const Word& word = words[i++];
      if (word.Is("with")) continue;
      if (word.Is("log")) {
        expected.log = Expectation::Log::Shows;
        expected.logText = value(word, "what the log shows after log").text;
        continue;
      }
      if (word.Is("no") && i < words.size() && words[i].Is("log")) {
        ++i;
        expected.log = Expectation::Log::Off;
        continue;
      }
      if (!passed)
        Fail(word.line, "only log TEXT or no log after a response", "'" + Escaped(word.text) + "'");
      if (IsHeaderName(word)) {
        expected.headers.emplace_back(
            word.text.substr(0, word.text.size() - 1),
            value(word, "the header's value (\"\" for an empty one)").text);
      } else if (word.Is("no")) {
        const Word& name = value(word, "a header 'Name:' or log after no");
        if (!IsHeaderName(name))
          Fail(name.line, "a header 'Name:' or log after no", "'" + Escaped(name.text) + "'");
        expected.headers.emplace_back(name.text.substr(0, name.text.size() - 1), std::nullopt);
      } else if (word.Is("method")) {
        expected.method = value(word, "a method after method").text;
      } else if (word.Is("version")) {
        expected.version = value(word, "a protocol version after version").text;
      } else {
        Fail(word.line, "a check 'Name: value', no Name:, method M, version V, log TEXT or no log",
             "'" + Escaped(word.text) + "'");
      }
    }
  }

  const std::string& file_;
  const TestSink& sink_;
  std::vector<Word> words_;  // the test being read, over its lines
  size_t testBytes_ = 0;     // the bytes of its lines
  uint32_t lineNumber_ = 0;
};

// `text` as one quoted word of a test file, every quote, backslash and byte outside
// printable ASCII escaped.
std::string QuotedWordOf(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else {
      quoted += Escaped(std::string_view(&c, 1));
    }
  }
  return quoted + "\"";
}

// `text` as one word of a test file: bare when it reads back as itself there, quoted
// otherwise.
std::string WordOf(std::string_view text) {
  static const char* const kKeywords[] = {"=>",       "site",      "secure", "var",    "version",
                                          "redirect", "forbidden", "error",  "passed", "with",
                                          "no",       "log",       "method"};
  bool bare = !text.empty() && text.front() != '#' && text.back() != ':';
  for (const char* keyword : kKeywords) bare = bare && text != keyword;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '"') bare = false;
  }
  return bare ? std::string(text) : QuotedWordOf(text);
}

std::string HeaderOf(const std::string& name, const std::optional<std::string>& value) {
  if (!value) return "no " + Escaped(name) + ":";
  return Escaped(name) + ": " + WordOf(*value);
}

std::string LogOf(const RequestOutcome& outcome) {
  if (outcome.logDisabled) return "no log";
  return "log " + WordOf(outcome.logTarget +
                         (outcome.logParameters.empty() ? "" : "?" + outcome.logParameters));
}

bool IsRedirect(int status) {
  uint32_t bits = 0;
  return status > 0 && LookUpRedirectStatus(std::to_string(status), bits);
}

// "redirect LOCATION" for a 302, "redirect 301 LOCATION" for the others.
std::string RedirectOf(int status, const std::string& location) {
  return "redirect " + (status == 302 ? std::string() : std::to_string(status) + " ") +
         WordOf(location);
}

// The outcome in general terms, for when it is not of the expected kind.
std::string OutcomeOf(const RequestOutcome& outcome) {
  switch (outcome.kind) {
    case RequestOutcome::Kind::PassedOn:
      return "passed " + WordOf(outcome.passedOn.url);
    case RequestOutcome::Kind::Answered:
      if (IsRedirect(outcome.status)) return RedirectOf(outcome.status, outcome.location);
      if (outcome.status == 403) return "forbidden";
      return "error " + std::to_string(outcome.status);
    case RequestOutcome::Kind::Failed:
      break;
  }
  char status[16];
  std::snprintf(status, sizeof status, "0x%08lx", static_cast<unsigned long>(outcome.filterStatus));
  return std::string("the request handling returned status ") + status;
}

std::optional<std::string> HeaderIn(const MemoryRequest& request, std::string_view name) {
  for (const auto& [header, value] : request.headers) {
    if (EqualIgnoringAsciiCase(header, name)) return value;
  }
  return std::nullopt;
}

}  // namespace

std::vector<FileTest> ParseTests(std::string_view text, const std::string& file) {
  std::vector<FileTest> tests;
  const TestSink sink = [&](FileTest&& test) { tests.push_back(std::move(test)); };
  Parser parser(file, sink);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    parser.Line(text.substr(start, end - start));
    start = end + 1;
  }
  parser.End();
  return tests;
}

void ReadTests(const std::filesystem::path& path, const TestSink& sink) {
  const std::string name = path.u8string();
  std::optional<FileInput> input;
  try {
    input.emplace(path);
  } catch (const std::runtime_error& error) {
    throw TestFileError(error.what());
  }
  Parser parser(name, sink);
  std::string line;
  bool tooLong = false;
  while (ReadBoundedLine(*input, line, tooLong)) {
    if (tooLong) parser.TooLong();
    parser.Line(line);
  }
  if (input->Failed()) throw TestFileError(Escaped(name) + ": cannot be read");
  parser.End();
}

std::vector<TestRequest> ReadTestRequests(const std::filesystem::path& path) {
  std::vector<TestRequest> requests;
  ReadTests(path, [&](FileTest&& test) { requests.push_back(std::move(test.request)); });
  return requests;
}

std::string DescribeRequest(const MemoryRequest& request) {
  std::string text;
  const bool bareMethod = LooksLikeMethod(request.method);
  if (request.method != "GET" && bareMethod) text += request.method + " ";
  // A URL that reads as a method or a version is quoted, with its escapes as any quoted word.
  text += LooksLikeMethod(request.url) || LooksLikeVersion(request.url) ? QuotedWordOf(request.url)
                                                                        : WordOf(request.url);
  if (request.version != "HTTP/1.1") {
    text += LooksLikeVersion(request.version) && WordOf(request.version) == request.version
                ? " " + request.version
                : " version " + WordOf(request.version);
  }
  if (request.method != "GET" && !bareMethod) text += " method " + WordOf(request.method);
  for (const auto& [name, value] : request.headers) text += " " + HeaderOf(name, value);
  if (request.siteId != 1) text += " site " + std::to_string(request.siteId);
  if (request.secure) text += " secure";
  for (const auto& [name, value] : request.serverVariables)
    text += " var " + WordOf(name + "=" + value);
  return text;
}

std::string DescribeExpectation(const Expectation& expected) {
  std::string text;
  switch (expected.kind) {
    case Expectation::Kind::Redirect:
      text = RedirectOf(expected.status, expected.location);
      break;
    case Expectation::Kind::Answered:
      text = expected.status == 403 ? "forbidden" : "error " + std::to_string(expected.status);
      break;
    case Expectation::Kind::PassedOn:
      text = "passed " + WordOf(expected.url);
      if (expected.method) text += " method " + WordOf(*expected.method);
      if (expected.version) text += " version " + WordOf(*expected.version);
      for (const auto& [name, value] : expected.headers) text += " " + HeaderOf(name, value);
      break;
  }
  if (expected.log == Expectation::Log::Off) text += " no log";
  if (expected.log == Expectation::Log::Shows) text += " log " + WordOf(expected.logText);
  return text;
}

bool Meets(const RequestOutcome& outcome, const Expectation& expected, std::string& actual) {
  bool met = true;
  std::string found;
  switch (expected.kind) {
    case Expectation::Kind::Redirect:
      met = outcome.kind == RequestOutcome::Kind::Answered && outcome.status == expected.status &&
            outcome.location == expected.location;
      found = OutcomeOf(outcome);
      break;
    case Expectation::Kind::Answered:
      met = outcome.kind == RequestOutcome::Kind::Answered && outcome.status == expected.status;
      found = OutcomeOf(outcome);
      break;
    case Expectation::Kind::PassedOn: {
      found = OutcomeOf(outcome);
      if (outcome.kind != RequestOutcome::Kind::PassedOn) {
        met = false;
        break;
      }
      const MemoryRequest& passed = outcome.passedOn;
      met = passed.url == expected.url;
      if (expected.method) {
        met = met && passed.method == *expected.method;
        found += " method " + WordOf(passed.method);
      }
      if (expected.version) {
        met = met && passed.version == *expected.version;
        found += " version " + WordOf(passed.version);
      }
      for (const auto& [name, value] : expected.headers) {
        const std::optional<std::string> now = HeaderIn(passed, name);
        met = met && now == value;
        found += " " + HeaderOf(name, now);
      }
      break;
    }
  }
  if (expected.log != Expectation::Log::Unchecked) {
    const std::string log = LogOf(outcome);
    met = met && log == (expected.log == Expectation::Log::Off ? "no log"
                                                               : "log " + WordOf(expected.logText));
    found += " " + log;
  }
  if (!met) actual = found;
  return met;
}

}  // namespace vortane::tools
