// Single-owner wrappers for kernel handles, modules, find handles and heap
// blocks. Each type knows its own empty value; closing never disturbs the
// thread's last-error value, so a caller can still read the failing call's code.
// The closing calls live in unique_handle.cpp, behind the platform layer.
#pragma once

#include <cstddef>
#include <utility>

#include "platform/system_types.h"

namespace lumaro::platform {

template <class T, T kEmpty, auto kClose>
class UniqueResource {
 public:
  UniqueResource() = default;
  explicit UniqueResource(T value) : value_(value) {}
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueResource() { reset(); }

  T get() const { return value_; }
  explicit operator bool() const { return value_ != kEmpty; }
  T release() { return std::exchange(value_, kEmpty); }
  void reset(T value = kEmpty) {
    T old = std::exchange(value_, value);
    if (old != kEmpty) kClose(old);
  }
  // For out-parameters: releases what is held and hands out the slot.
  T* put() {
    reset();
    return &value_;
  }

 private:
  T value_ = kEmpty;
};

namespace detail {
// Each keeps the thread's last error as it was.
void CloseKernelHandle(NativeHandle h);
void ReleaseModule(ModuleHandle m);
void CloseFind(NativeHandle h);
void FreeHeapBlock(void* p);
}  // namespace detail

// A handle that is empty when null (mutexes, processes, threads). -1 is the
// current-process pseudo-handle, not "empty".
using UniqueHandle = UniqueResource<NativeHandle, nullptr, detail::CloseKernelHandle>;
using UniqueModule = UniqueResource<ModuleHandle, nullptr, detail::ReleaseModule>;

// File and find handles are empty at INVALID_HANDLE_VALUE.
class UniqueFileHandle {
 public:
  UniqueFileHandle() = default;
  explicit UniqueFileHandle(NativeHandle h) : h_(h) {}
  UniqueFileHandle(const UniqueFileHandle&) = delete;
  UniqueFileHandle& operator=(const UniqueFileHandle&) = delete;
  UniqueFileHandle(UniqueFileHandle&& o) noexcept : h_(o.release()) {}
  UniqueFileHandle& operator=(UniqueFileHandle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  ~UniqueFileHandle() { reset(); }
  NativeHandle get() const { return h_; }
  explicit operator bool() const { return h_ != InvalidHandleValue() && h_ != nullptr; }
  NativeHandle release() { return std::exchange(h_, InvalidHandleValue()); }
  void reset(NativeHandle h = InvalidHandleValue()) {
    NativeHandle old = std::exchange(h_, h);
    if (old != InvalidHandleValue() && old != nullptr) detail::CloseKernelHandle(old);
  }

 private:
  NativeHandle h_ = InvalidHandleValue();
};

class UniqueFindHandle {
 public:
  explicit UniqueFindHandle(NativeHandle h) : h_(h) {}
  UniqueFindHandle(const UniqueFindHandle&) = delete;
  UniqueFindHandle& operator=(const UniqueFindHandle&) = delete;
  ~UniqueFindHandle() {
    if (h_ != InvalidHandleValue()) detail::CloseFind(h_);
  }
  explicit operator bool() const { return h_ != InvalidHandleValue(); }

 private:
  NativeHandle h_;
};

// A block from the process heap.
class UniqueHeapBlock {
 public:
  // HeapAlloc; an empty block when the heap has no room.
  enum class Fill { kAny, kZeroed };
  static UniqueHeapBlock Allocate(std::size_t size, Fill fill = Fill::kAny);

  UniqueHeapBlock() = default;
  UniqueHeapBlock(void* p, std::size_t size) : p_(p), size_(size) {}
  UniqueHeapBlock(const UniqueHeapBlock&) = delete;
  UniqueHeapBlock& operator=(const UniqueHeapBlock&) = delete;
  UniqueHeapBlock(UniqueHeapBlock&& o) noexcept
      : p_(std::exchange(o.p_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  UniqueHeapBlock& operator=(UniqueHeapBlock&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = std::exchange(o.p_, nullptr);
      size_ = std::exchange(o.size_, 0);
    }
    return *this;
  }
  ~UniqueHeapBlock() { reset(); }
  void* get() const { return p_; }
  std::size_t size() const { return size_; }
  void reset() {
    if (p_ != nullptr) detail::FreeHeapBlock(std::exchange(p_, nullptr));
    size_ = 0;
  }

 private:
  void* p_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace lumaro::platform
