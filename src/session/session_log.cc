#include "session/session_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "session/event_script.h"

namespace {

// write(2) until all is written; false on an error.
bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

SessionLog::~SessionLog() {
  if (fd_ >= 0) close(fd_);
}

bool SessionLog::open(const std::string& path, const std::string& patch_path, bool autoplay, std::string& error,
                      const std::string& render_options, int sample_rate, int voices, double velocity) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    error = std::strerror(errno);
    return false;
  }
  path_ = path;
  char date[64] = "";
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local)) std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S %z", &local);
  write_line("# wsy session, patch " + patch_path + ", recorded " + date);
  write_line(std::string("# render it again: wsy-render --patch ") + patch_path + (autoplay ? "" : " --no-autoplay") +
             render_options + " --events " + path + " -o take.wav");
  write_line(rate_script_line(sample_rate));
  write_line(voices_script_line(voices));
  write_line(velocity_script_line(velocity));
  return !failed_;
}

void SessionLog::add(const Report& report) {
  if (report.kind != Report::kApplied) return;
  const std::string line = event_script_line(report.frame, report.command);
  if (!line.empty()) write_line(line);
}

void SessionLog::add_patch(int64_t frame, const std::string& text) {
  if (fd_ < 0 || failed_) return;
  const std::string copy = path_ + "." + std::to_string(++patch_copies_) + ".wsy";
  const int fd = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const bool written = fd >= 0 && write_all(fd, text.data(), text.size());
  const int error = errno;
  if (fd >= 0 && close(fd) != 0 && written) {
    // close() can report a late write error: the copy is then incomplete.
    failed_ = true;
  }
  if (!written || failed_) {
    failed_ = true;
    std::fprintf(stderr, "wsy: cannot write \"%s\", the copy of the reloaded patch the session log needs: %s; "
                 "recording stops here.\n", copy.c_str(), std::strerror(written ? errno : error));
    return;
  }
  const size_t slash = copy.rfind('/');
  write_line(patch_script_line(frame, slash == std::string::npos ? copy : copy.substr(slash + 1)));
}

void SessionLog::end(int64_t frames) {
  if (ended_) return;
  write_line(std::to_string(frames) + " end");
  ended_ = true;
}

void SessionLog::end_from_signal(int64_t frames) {
  if (fd_ < 0 || ended_ || writing_) return;
  ended_ = true;
  char text[32];
  int n = sizeof text;
  text[--n] = '\n';
  const char word[] = " end";
  for (int i = sizeof word - 2; i >= 0; --i) text[--n] = word[i];
  uint64_t v = frames < 0 ? 0 : static_cast<uint64_t>(frames);
  do text[--n] = static_cast<char>('0' + v % 10); while ((v /= 10) != 0);
  write_all(fd_, text + n, sizeof text - n);
}

void SessionLog::write_line(const std::string& line) {
  if (fd_ < 0 || failed_) return;
  writing_ = true;
  const std::string text = line + "\n";
  if (!write_all(fd_, text.data(), text.size())) {
    failed_ = true;
    std::fprintf(stderr, "wsy: cannot write the session log \"%s\": %s; recording stops here.\n", path_.c_str(),
                 std::strerror(errno));
  }
  writing_ = false;
}
