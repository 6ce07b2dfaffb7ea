// A one-line progress bar on stderr, drawn only when stderr is a terminal.
// A ticker thread redraws it a few times a second so that the elapsed time
// moves even while a large chunk is being compressed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

namespace lumaro::pack {

class ProgressBar {
 public:
  explicit ProgressBar(bool enabled);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void Phase(std::string label, std::size_t total, std::string unit);
  void Update(std::size_t done);
  // Clears the line, so that what follows starts on a clean one.
  void Clear();

 private:
  void Draw();  // with mutex_ held

  bool enabled_;
  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::string label_;
  std::string unit_;
  std::size_t done_ = 0;
  std::size_t total_ = 0;
  bool visible_ = false;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::jthread ticker_;
};

}  // namespace lumaro::pack
