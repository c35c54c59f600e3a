// Requests to replay, read from what an administrator has at hand: a server's access log in
// the W3C extended log file format, or a plain list of URLs.
//
// Every byte of these files may be hostile: a log line is read with a length cap, and a line
// that is too long or cannot be understood is skipped and counted, never guessed at. The
// readers stream: they hold one line at a time, so a log of any size is read in constant
// memory (beyond what the caller keeps of the requests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "memory_server/memory_server.h"

namespace vortane::tools {

// A line longer than this (without its line break) is skipped: no request line plus the
// headers a log holds comes near it, and the filter answers URLs over 64 KiB with 414.
inline constexpr size_t kRequestLineLimit = 128 * 1024;

// Reads the next line of `input` into `line`, without its LF and one CR before it. Returns
// false at the end of the input. A line longer than kRequestLineLimit is read to its end but
// only its first bytes are kept, and `tooLong` is set: memory stays bounded by the limit.
bool ReadBoundedLine(std::streambuf& input, std::string& line, bool& tooLong);

// One request read, with the line of the file it came from (counted from 1).
struct SourcedRequest {
  MemoryRequest request;
  size_t line = 0;
};

// What a reader made of its input besides the requests.
struct ReadSummary {
  size_t requests = 0;  // requests handed on
  size_t skipped = 0;   // lines skipped: too long, or not understood
  // The first few skipped lines (at most kSkipExamples), each as "line N: why".
  std::vector<std::string> skipExamples;
  static constexpr size_t kSkipExamples = 5;
};

enum class RequestFormat { AccessLog, UrlList };

// The format of a file that starts with `start` (its first bytes, a few hundred suffice): an
// access log when its first line is a #Software, #Version, #Date or #Fields directive, a URL
// list otherwise. Pure; thread-safe.
RequestFormat DetectRequestFormat(std::string_view start);

// Called with each request read, in file order.
using RequestSink = std::function<void(SourcedRequest&&)>;

// Reads a W3C extended access log such as vortane-serve writes. The #Fields directive names
// the fields of the lines after it (a log may hold several, one per server start). After a
// "#Software: vortane-serve" directive the fields are read as vortane-serve escapes them
// (UnescapedLogField, base/text.h): exactly the values logged; after any other #Software,
// and before the first, as other servers write them: "-" is absent and, in a header, "+" a
// space. Other directives are ignored. Fields used when present ("-" means absent):
//   cs-method                the method (GET without the field)
//   cs-uri-stem, cs-uri-query the URL: stem, then "?" and the query when there is one; or
//   cs-uri                   the whole URL, when there is no stem field
//   x-requested-uri          the URL as the client sent it, before any rule (vortane-serve
//                            writes it): used before the two above when present
//   cs-version               the protocol version (HTTP/1.1 without the field)
//   cs-host, cs(NAME)        request headers (Host, NAME), in the order of the fields
//   s-sitename               the site: "W3SVC<N>" or "<N>"
//   c-ip, s-ip, s-port       the server variables REMOTE_ADDR, LOCAL_ADDR, SERVER_PORT
// Skipped and counted: lines longer than kRequestLineLimit, lines before any #Fields, lines
// whose field count differs from the directive's, lines with control bytes (escaped ones
// too, but for tabs in a header), lines with a malformed escape, lines without a
// URL, and lines with a site that is not a number from 1 to 4294967295. Requests without a
// site field get `defaultSite`. Cost: linear in the input; not thread-safe on one stream.
ReadSummary ReadAccessLog(std::istream& input, uint32_t defaultSite, const RequestSink& sink);

// Reads a list of URLs: one request per line, "URL" or "METHOD URL" separated by blanks;
// blank lines and lines starting with "#" are skipped without counting. A URL that starts
// with "http://" or "https://" gives the Host header from its authority (https: a secure
// request) and the path from the rest ("/" when there is none); any other URL is sent as it
// is. Skipped and counted: lines too long, with control bytes, or with more than two words.
// Requests get `defaultSite`. Cost: linear in the input; not thread-safe on one stream.
ReadSummary ReadUrlList(std::istream& input, uint32_t defaultSite, const RequestSink& sink);

}  // namespace vortane::tools
