// The flushes of one install. Where the system has NtFlushBuffersFileEx
// (Windows 8 and later), each unpacked file is written out to the device
// without flushing the device's cache, and one full flush of the last file
// (the ready marker) then makes everything written before it durable: one
// device flush per install instead of one per file. Elsewhere every file
// gets a full flush of its own.
#pragma once

#include <cstdint>

#include "platform/result.h"
#include "platform/system_types.h"

namespace lumaro::platform {

// NtFlushBuffersFileEx in platform/'s own types; io_status is the
// IO_STATUS_BLOCK it fills.
using FlushBuffersFileExFn = NtStatus (*)(NativeHandle file, std::uint32_t flags, void* parameters,
                                          std::uint32_t parameters_size, void* io_status);
// A full flush of one file: data, metadata and the device's cache.
using FullFlushFn = Result<void> (*)(NativeHandle file);

inline constexpr std::uint32_t kFlushFlagsNoSync = 0x2;  // FLUSH_FLAGS_NO_SYNC

// True for the statuses with which a file system refuses a flush without a
// device sync (ReFS, older FAT, some network redirectors): the install then falls
// back to full flushes. Any other failure is a real one.
bool NoSyncFlushRefused(NtStatus status);

// Held by the installer for one install, from the first file to the marker.
class InstallFlush {
 public:
  // Looks NtFlushBuffersFileEx up in ntdll by name; never imported, since
  // Wine 8 and Windows before 8 do not export it.
  static InstallFlush ForThisSystem();

  // no_sync null: every flush is full, as on a system without the function.
  explicit InstallFlush(FlushBuffersFileExFn no_sync, FullFlushFn full = &FullFlush);

  // After a file of the install is written and before it is closed: written
  // out without a device sync where possible, else flushed in full. A refusal
  // switches this file and every later one to full flushes.
  Result<void> FileWritten(NativeHandle file);

  // The last file written before the rename: the install's full flush.
  Result<void> Seal(NativeHandle file) { return full_(file); }

  // Files are still written out without a device sync.
  bool writes_out_only() const { return no_sync_ != nullptr; }

  // FlushFileBuffers.
  static Result<void> FullFlush(NativeHandle file);

 private:
  FlushBuffersFileExFn no_sync_;
  FullFlushFn full_;
};

}  // namespace lumaro::platform
