#include "tools/runner/request_log.h"

#include <algorithm>
#include <optional>
#include <streambuf>
#include <utility>

#include "base/text.h"
#include "rules/server_values.h"

namespace vortane::tools {

bool ReadBoundedLine(std::streambuf& input, std::string& line, bool& tooLong) {
  line.clear();
  tooLong = false;
  int c = input.sbumpc();
  if (c == std::char_traits<char>::eof()) return false;
  for (; c != std::char_traits<char>::eof() && c != '\n'; c = input.sbumpc()) {
    if (line.size() < kRequestLineLimit + 1) {
      line += static_cast<char>(c);
    } else {
      tooLong = true;
    }
  }
  line.resize(WithoutTrailingCRs(line).size());
  if (line.size() > kRequestLineLimit) tooLong = true;
  return true;
}

namespace {

// Counts skipped lines and keeps the first few reasons.
class Skips {
 public:
  explicit Skips(ReadSummary& summary) : summary_(summary) {}
  void Skip(size_t line, std::string_view why) {
    if (summary_.skipped++ < ReadSummary::kSkipExamples) {
      summary_.skipExamples.push_back("line " + std::to_string(line) + ": " + std::string(why));
    }
  }

 private:
  ReadSummary& summary_;
};

// Splits at every `separator`; empty words are kept (so "a  b" has three).
std::vector<std::string_view> SplitAt(std::string_view text, char separator) {
  std::vector<std::string_view> words;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    words.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return words;
    start = end + 1;
  }
}

// Words separated by runs of blanks (spaces and tabs), without empty ones.
std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  size_t at = 0;
  while (at < text.size()) {
    at = text.find_first_not_of(" \t", at);
    if (at == std::string_view::npos) break;
    size_t end = text.find_first_of(" \t", at);
    if (end == std::string_view::npos) end = text.size();
    words.push_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

// What one field of a log line feeds.
enum class FieldUse {
  Ignored,
  Method,
  Stem,
  Query,
  Uri,
  RequestedUri,
  Version,
  Header,
  Site,
  Variable,
};

struct FieldRole {
  FieldUse use = FieldUse::Ignored;
  std::string name;  // Header: the header's name; Variable: the server variable's
};

FieldRole RoleOf(std::string_view field) {
  if (field == "cs-method") return {FieldUse::Method, {}};
  if (field == "cs-uri-stem") return {FieldUse::Stem, {}};
  if (field == "cs-uri-query") return {FieldUse::Query, {}};
  if (field == "cs-uri") return {FieldUse::Uri, {}};
  if (field == "x-requested-uri") return {FieldUse::RequestedUri, {}};
  if (field == "cs-version") return {FieldUse::Version, {}};
  if (field == "cs-host") return {FieldUse::Header, "Host"};
  if (field == "s-sitename") return {FieldUse::Site, {}};
  if (field == "c-ip") return {FieldUse::Variable, "REMOTE_ADDR"};
  if (field == "s-ip") return {FieldUse::Variable, "LOCAL_ADDR"};
  if (field == "s-port") return {FieldUse::Variable, "SERVER_PORT"};
  if (StartsWith(field, "cs(") && field.size() > 4 && field.back() == ')') {
    return {FieldUse::Header, std::string(field.substr(3, field.size() - 4))};
  }
  return {};
}

// "W3SVC<N>" or "<N>" as a site number from 1 up.
std::optional<uint32_t> SiteNumber(std::string_view text) {
  if (StartsWith(text, "W3SVC")) text.remove_prefix(5);
  const std::optional<uint64_t> value = ParseDecimal(text, UINT32_MAX);
  if (!value || *value == 0) return std::nullopt;
  return static_cast<uint32_t>(*value);
}

std::string PlusAsSpace(std::string_view value) {
  std::string text(value);
  for (char& c : text) {
    if (c == '+') c = ' ';
  }
  return text;
}

// True when a #Software directive names vortane-serve, whose fields are escaped so that they
// read back exactly (EscapedLogField).
bool WrittenByServe(std::string_view directive) {
  std::string_view software = directive.substr(10);  // after "#Software:"
  while (!software.empty() && (software.front() == ' ' || software.front() == '\t')) {
    software.remove_prefix(1);
  }
  while (!software.empty() && (software.back() == ' ' || software.back() == '\t')) {
    software.remove_suffix(1);
  }
  return software == "vortane-serve";
}

// An escaped control byte is no more usable than a raw one; a header value may hold a tab,
// as HTTP allows.
bool HasControlByteBesidesTab(std::string_view value, bool header) {
  for (size_t start = 0; start <= value.size();) {
    const size_t tab = header ? std::min(value.find('\t', start), value.size()) : value.size();
    if (HasControlByte(value.substr(start, tab - start))) return true;
    start = tab + 1;
  }
  return false;
}

// The value of one field of a line: empty for an absent one. `escaped`: the field was
// written by EscapedLogField, and is decoded (nothing when an escape is malformed); otherwise
// it is taken as it stands, "-" meaning absent and, in a header, "+" a space.
std::optional<std::string> FieldValue(std::string_view field, bool escaped, bool header) {
  if (field.empty() || field == "-") return std::string();
  if (escaped) return UnescapedLogField(field);
  return header ? PlusAsSpace(field) : std::string(field);
}

}  // namespace

RequestFormat DetectRequestFormat(std::string_view start) {
  for (const std::string_view directive : {"#Software:", "#Version:", "#Date:", "#Fields:"}) {
    if (StartsWith(start, directive)) return RequestFormat::AccessLog;
  }
  return RequestFormat::UrlList;
}

ReadSummary ReadAccessLog(std::istream& input, uint32_t defaultSite, const RequestSink& sink) {
  ReadSummary summary;
  Skips skips(summary);
  std::vector<FieldRole> roles;
  bool haveFields = false;
  bool haveStem = false;
  bool escaped = false;  // the section's fields were written by vortane-serve
  std::string line;
  bool tooLong = false;
  for (size_t number = 1; ReadBoundedLine(*input.rdbuf(), line, tooLong); ++number) {
    if (tooLong) {
      skips.Skip(number, "longer than " + std::to_string(kRequestLineLimit) + " bytes");
      continue;
    }
    if (line.empty()) continue;
    if (line.front() == '#') {
      if (StartsWith(line, "#Software:")) escaped = WrittenByServe(line);
      if (StartsWith(line, "#Fields:")) {
        roles.clear();
        for (const std::string_view field : Words(std::string_view(line).substr(8))) {
          roles.push_back(RoleOf(field));
        }
        haveFields = true;
        haveStem = false;
        for (const FieldRole& role : roles) haveStem = haveStem || role.use == FieldUse::Stem;
      }
      continue;
    }
    if (!haveFields) {
      skips.Skip(number, "no #Fields directive before it");
      continue;
    }
    if (HasControlByte(line)) {
      skips.Skip(number, "control bytes");
      continue;
    }
    const std::vector<std::string_view> values = SplitAt(line, ' ');
    if (values.size() != roles.size()) {
      skips.Skip(number, std::to_string(values.size()) + " fields where #Fields names " +
                             std::to_string(roles.size()));
      continue;
    }
    SourcedRequest sourced;
    sourced.line = number;
    MemoryRequest& request = sourced.request;
    request.siteId = defaultSite;
    std::string stem, query, uri, requested;
    const char* spoiled = nullptr;  // why the line cannot be used
    for (size_t i = 0; i < values.size() && spoiled == nullptr; ++i) {
      const FieldRole& role = roles[i];
      if (role.use == FieldUse::Ignored) continue;
      const bool header = role.use == FieldUse::Header;
      std::optional<std::string> value = FieldValue(values[i], escaped, header);
      if (!value) {
        spoiled = "a malformed escape";
        break;
      }
      if (value->empty()) continue;
      if (HasControlByteBesidesTab(*value, header)) {
        spoiled = "control bytes";
        break;
      }
      switch (role.use) {
        case FieldUse::Ignored:
          break;
        case FieldUse::Method:
          request.method = std::move(*value);
          break;
        case FieldUse::Stem:
          stem = std::move(*value);
          break;
        case FieldUse::Query:
          query = std::move(*value);
          break;
        case FieldUse::Uri:
          uri = std::move(*value);
          break;
        case FieldUse::RequestedUri:
          requested = std::move(*value);
          break;
        case FieldUse::Version:
          request.version = std::move(*value);
          break;
        case FieldUse::Header:
          request.headers.emplace_back(role.name, std::move(*value));
          break;
        case FieldUse::Site:
          if (const std::optional<uint32_t> site = SiteNumber(*value)) {
            request.siteId = *site;
          } else {
            spoiled = "the site is not a number from 1 to 4294967295";
          }
          break;
        case FieldUse::Variable:
          request.serverVariables.insert_or_assign(role.name, std::move(*value));
          break;
      }
    }
    if (spoiled != nullptr) {
      skips.Skip(number, spoiled);
      continue;
    }
    if (!requested.empty()) {
      // The URL as the client sent it, before any rule: what a replay must send again.
      request.url = std::move(requested);
    } else if (haveStem) {
      request.url = std::move(stem);
      if (!query.empty()) request.url += "?" + query;
    } else {
      request.url = std::move(uri);
    }
    if (request.url.empty()) {
      skips.Skip(number, "no URL");
      continue;
    }
    ++summary.requests;
    sink(std::move(sourced));
  }
  return summary;
}

ReadSummary ReadUrlList(std::istream& input, uint32_t defaultSite, const RequestSink& sink) {
  ReadSummary summary;
  Skips skips(summary);
  std::string line;
  bool tooLong = false;
  for (size_t number = 1; ReadBoundedLine(*input.rdbuf(), line, tooLong); ++number) {
    if (tooLong) {
      skips.Skip(number, "longer than " + std::to_string(kRequestLineLimit) + " bytes");
      continue;
    }
    // Tabs separate words here; every other control byte spoils the line.
    const std::vector<std::string_view> words = Words(line);
    if (words.empty() || words.front().front() == '#') continue;
    bool control = false;
    for (const std::string_view word : words) control = control || HasControlByte(word);
    if (control) {
      skips.Skip(number, "control bytes");
      continue;
    }
    if (words.size() > 2) {
      skips.Skip(number, "more than METHOD and URL");
      continue;
    }
    SourcedRequest sourced;
    sourced.line = number;
    MemoryRequest& request = sourced.request;
    request.siteId = defaultSite;
    if (words.size() == 2) request.method = std::string(words[0]);
    const std::string_view url = words.back();
    const bool https = StartsWith(url, "https://");
    if (https || StartsWith(url, "http://")) {
      request.secure = https;
      std::string_view rest = url.substr(https ? 8 : 7);
      const size_t path = rest.find_first_of("/?");
      const std::string_view authority = rest.substr(0, path);
      if (!authority.empty()) request.headers.emplace_back("Host", std::string(authority));
      rest = path == std::string_view::npos ? std::string_view() : rest.substr(path);
      request.url =
          rest.empty() || rest.front() == '?' ? "/" + std::string(rest) : std::string(rest);
    } else {
      request.url = std::string(url);
    }
    ++summary.requests;
    sink(std::move(sourced));
  }
  return summary;
}

}  // namespace vortane::tools
