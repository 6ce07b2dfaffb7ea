// A heap block of bytes whose size may come from the input (an exe, a
// package): allocated without throwing, so that a size too large for this
// machine is an error value and not an abort.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <span>

namespace lumaro::inspect {

class ByteBuffer {
 public:
  ByteBuffer() = default;

  // Uninitialised storage; nullopt when it cannot be had.
  static std::optional<ByteBuffer> Allocate(std::size_t size) {
    ByteBuffer buffer;
    buffer.data_.reset(new (std::nothrow) std::byte[size == 0 ? 1 : size]);
    if (!buffer.data_) return std::nullopt;
    buffer.size_ = size;
    return buffer;
  }

  std::span<std::byte> bytes() { return {data_.get(), size_}; }
  std::span<const std::byte> bytes() const { return {data_.get(), size_}; }
  // Drops the tail, keeping the storage; for a file that was shorter than stated.
  void Shrink(std::size_t size) {
    if (size < size_) size_ = size;
  }

 private:
  std::unique_ptr<std::byte[]> data_;
  std::size_t size_ = 0;
};

}  // namespace lumaro::inspect
