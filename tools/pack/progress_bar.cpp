// Terminal progress bar; see progress_bar.h. When stderr is not a terminal
// (CI, a pipe), plain lines instead: one as each phase starts and one at each
// further tenth of it, so a log shows the work going on without escapes.
#include "tools/pack/progress_bar.h"

#include <unistd.h>

#include <cstdio>

namespace lumaro::pack {
namespace {

double Elapsed(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int Tenth(std::size_t done, std::size_t total) { return total ? static_cast<int>(10 * done / total) : 10; }

void PrintLine(const std::string& label, std::size_t done, std::size_t total, const std::string& unit,
               double seconds) {
  std::fprintf(stderr, "%s: %d%% (%zu/%zu %s)  %.1f s\n", label.c_str(), Tenth(done, total) * 10, done, total,
               unit.c_str(), seconds);
  std::fflush(stderr);
}

}  // namespace

// Only a terminal gets the ticker: it is what tells the two kinds apart.
ProgressBar::ProgressBar(bool enabled) : enabled_(enabled) {
  if (!enabled_ || !::isatty(STDERR_FILENO)) return;
  ticker_ = std::jthread([this](std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
      if (!label_.empty()) Draw();
      wake_.wait_for(lock, stop, std::chrono::milliseconds(250), [] { return false; });
    }
  });
}

ProgressBar::~ProgressBar() {
  if (!ticker_.joinable()) return;
  ticker_.request_stop();
  ticker_.join();
  Clear();
}

void ProgressBar::Phase(std::string label, std::size_t total, std::string unit) {
  if (!enabled_) return;
  std::lock_guard lock(mutex_);
  label_ = std::move(label);
  unit_ = std::move(unit);
  total_ = total;
  done_ = 0;
  if (!ticker_.joinable()) {
    PrintLine(label_, done_, total_, unit_, Elapsed(start_));
    return;
  }
  Draw();
}

void ProgressBar::Update(std::size_t done) {
  if (!enabled_) return;
  std::lock_guard lock(mutex_);
  const std::size_t before = done_;
  done_ = done;
  if (!ticker_.joinable()) {
    if (Tenth(before, total_) != Tenth(done_, total_)) PrintLine(label_, done_, total_, unit_, Elapsed(start_));
    return;
  }
  Draw();
}

void ProgressBar::Clear() {
  if (!enabled_) return;
  std::lock_guard lock(mutex_);
  if (visible_) std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  visible_ = false;
  label_.clear();
}

void ProgressBar::Draw() {
  constexpr int kWidth = 30;
  const int filled = total_ ? static_cast<int>(kWidth * done_ / total_) : 0;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(kWidth, '.');
  std::fprintf(stderr, "\r\033[K%-12s [%s] %zu/%zu %s  %.1f s", label_.c_str(), bar.c_str(), done_, total_,
               unit_.c_str(), Elapsed(start_));
  std::fflush(stderr);
  visible_ = true;
}

}  // namespace lumaro::pack
