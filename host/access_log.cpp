#include "host/access_log.h"

#include <ctime>
#include <stdexcept>
#include <utility>

#include "base/text.h"
#include "platform/tree_files.h"

namespace vortane::host {
namespace {

constexpr char kFields[] =
    "#Fields: date time c-ip cs-method cs-uri-stem cs-uri-query sc-status sc-bytes time-taken "
    "s-sitename cs-host cs(User-Agent) cs(Referer) x-requested-uri\n";

// "YYYY-MM-DD HH:MM:SS" in UTC.
std::string UtcDateTime(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

void AppendField(std::string& line, std::string_view value) {
  line += ' ';
  line += EscapedLogField(value);
}

}  // namespace

std::string FormatAccessLogLine(const AccessLogEntry& entry) {
  std::string line = UtcDateTime(entry.time);
  AppendField(line, entry.clientAddress);
  AppendField(line, entry.method);
  AppendField(line, entry.target);
  AppendField(line, entry.query);
  line += ' ' + std::to_string(entry.status) + ' ' + std::to_string(entry.bytes) + ' ' +
          std::to_string(entry.milliseconds);
  AppendField(line, entry.siteId != 0 ? "W3SVC" + std::to_string(entry.siteId) : "");
  AppendField(line, entry.host);
  AppendField(line, entry.userAgent);
  AppendField(line, entry.referer);
  AppendField(line, entry.requestedUri);
  line += '\n';
  return line;
}

AccessLog::AccessLog(const std::filesystem::path& path) {
  std::string error;
  file_ = platform::OpenForAppend(path.string(), error);
  if (file_ == nullptr) {
    throw std::runtime_error("cannot open the access log " + path.string() + ": " + error);
  }
  const std::string header = "#Software: vortane-serve\n#Version: 1.0\n#Date: " +
                             UtcDateTime(std::chrono::system_clock::now()) + "\n" + kFields;
  std::fputs(header.c_str(), file_);
  std::fflush(file_);
  writer_ = std::thread([this] { WriterLoop(); });
}

AccessLog::~AccessLog() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  writer_.join();
  std::fclose(file_);
}

void AccessLog::Write(const AccessLogEntry& entry) {
  std::string line = FormatAccessLogLine(entry);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= kQueueLimit) {
      ++dropped_;
      return;
    }
    queue_.push_back(std::move(line));
  }
  wake_.notify_one();
}

void AccessLog::WriterLoop() {
  std::vector<std::string> batch;
  for (;;) {
    uint64_t dropped = 0;
    bool stopping = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      batch.swap(queue_);
      std::swap(dropped, dropped_);
      stopping = stopping_;
    }
    for (const std::string& line : batch) std::fwrite(line.data(), 1, line.size(), file_);
    if (dropped > 0) {
      std::fprintf(file_, "#Remark: %llu lines dropped: the disk fell behind\n",
                   static_cast<unsigned long long>(dropped));
    }
    std::fflush(file_);
    batch.clear();
    if (stopping) return;
  }
}

}  // namespace vortane::host
