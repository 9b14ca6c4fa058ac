// One line of progress on standard error for the tools. On a terminal the line is redrawn in
// place; otherwise each new text becomes a line of its own, at most one a second (the last one is
// always written by finish). `say` prints a whole line without tearing the progress line. Thread-safe.
//   ProgressLine line;  line.show("download 45%");  line.say("Packing ...");  line.finish();
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include <unistd.h>

namespace tools {

class ProgressLine {
 public:
  explicit ProgressLine(std::FILE* out = stderr) : out_(out), terminal_(isatty(fileno(out)) == 1) {}
  ~ProgressLine() { finish(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void show(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (text == text_) return;
    text_ = text;
    pending_ = true;
    const auto now = std::chrono::steady_clock::now();
    const auto interval = terminal_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000);
    if (drawn_ && now - lastDraw_ < interval) return;
    draw(now);
  }

  // Writes `line` on a line of its own; the progress line comes back below it.
  void say(const std::string& line) {
    std::lock_guard lock(mutex_);
    if (!terminal_ && pending_) draw(std::chrono::steady_clock::now());  // the progress so far comes first
    if (terminal_ && drawn_) std::fputs("\r\033[K", out_);
    std::fprintf(out_, "%s\n", line.c_str());
    if (terminal_ && drawn_) std::fprintf(out_, "%s", text_.c_str());
    std::fflush(out_);
  }

  // Writes the latest text if it is not out yet and ends the line.
  void finish() {
    std::lock_guard lock(mutex_);
    if (pending_) draw(std::chrono::steady_clock::now());
    if (terminal_ && drawn_) std::fputc('\n', out_);
    std::fflush(out_);
    drawn_ = false;
    text_.clear();
  }

 private:
  void draw(std::chrono::steady_clock::time_point now) {
    if (terminal_) std::fprintf(out_, "\r\033[K%s", text_.c_str());
    else std::fprintf(out_, "%s\n", text_.c_str());
    std::fflush(out_);
    drawn_ = true;
    pending_ = false;
    lastDraw_ = now;
  }

  std::mutex mutex_;
  std::FILE* out_;
  bool terminal_;
  bool drawn_ = false;    // a line is on screen (terminal) or was written
  bool pending_ = false;  // text_ is not out yet
  std::string text_;
  std::chrono::steady_clock::time_point lastDraw_;
};

// "12.3 MB" (decimal megabytes, one decimal).
inline std::string megabytes(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  return text;
}

}  // namespace tools
