// Terminal progress bar; see progress_bar.h.
#include "tools/pack/progress_bar.h"

#include <unistd.h>

#include <cstdio>

namespace lumaro::pack {

ProgressBar::ProgressBar(bool enabled) : enabled_(enabled && ::isatty(STDERR_FILENO)) {
  if (!enabled_) return;
  ticker_ = std::jthread([this](std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
      if (!label_.empty()) Draw();
      wake_.wait_for(lock, stop, std::chrono::milliseconds(250), [] { return false; });
    }
  });
}

ProgressBar::~ProgressBar() {
  if (!enabled_) return;
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
  Draw();
}

void ProgressBar::Update(std::size_t done) {
  if (!enabled_) return;
  std::lock_guard lock(mutex_);
  done_ = done;
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
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(kWidth, '.');
  std::fprintf(stderr, "\r\033[K%-12s [%s] %zu/%zu %s  %.1f s", label_.c_str(), bar.c_str(), done_, total_,
               unit_.c_str(), seconds);
  std::fflush(stderr);
  visible_ = true;
}

}  // namespace lumaro::pack
