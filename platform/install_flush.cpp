// One install's flushes: NtFlushBuffersFileEx looked up at run time, the
// refusals that fall back to FlushFileBuffers, and NT statuses as error codes.

#include "platform/install_flush.h"

#include "platform/fs.h"
#include "platform/module.h"
#include "platform/nt_io.h"

namespace lumaro::platform {

static_assert(sizeof(NtStatus) == sizeof(NTSTATUS));

bool NoSyncFlushRefused(NtStatus status) {
  // What a file system that does not know the flag answers (ReFS, FAT and
  // exFAT before Windows 10, network redirectors, third-party drivers): a
  // parameter it refuses (STATUS_INVALID_PARAMETER), or a request it does not
  // serve (STATUS_NOT_SUPPORTED, STATUS_INVALID_DEVICE_REQUEST,
  // STATUS_NOT_IMPLEMENTED, STATUS_ILLEGAL_FUNCTION).
  // A full flush is always correct, so anything that means "not here" falls
  // back; failures of the flush itself (a full disk, a device error, a handle
  // without write access) stay errors.
  switch (static_cast<std::uint32_t>(status)) {
    case 0xC000000Du:  // STATUS_INVALID_PARAMETER
    case 0xC00000BBu:  // STATUS_NOT_SUPPORTED
    case 0xC0000010u:  // STATUS_INVALID_DEVICE_REQUEST
    case 0xC0000002u:  // STATUS_NOT_IMPLEMENTED
    case 0xC00000AFu:  // STATUS_ILLEGAL_FUNCTION
      return true;
    default:
      return false;
  }
}

InstallFlush InstallFlush::ForThisSystem() {
  // ntdll is mapped into every process; no reference is taken or kept.
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return InstallFlush(nullptr);
  return InstallFlush(LookupFunction<FlushBuffersFileExFn>(ntdll, "NtFlushBuffersFileEx"));
}

InstallFlush::InstallFlush(FlushBuffersFileExFn no_sync, FullFlushFn full)
    : no_sync_(no_sync), full_(full) {}

Result<void> InstallFlush::FileWritten(NativeHandle file) {
  if (no_sync_ != nullptr) {
    IO_STATUS_BLOCK io{};
    const NtStatus status =
        FinalStatus(file, no_sync_(file, kFlushFlagsNoSync, nullptr, 0, &io), io);
    if (NtSuccess(status)) return {};
    if (!NoSyncFlushRefused(status)) {
      return Fail(LaunchError::Os(RtlNtStatusToDosError(status)));
    }
    // This volume will refuse it for every later file too.
    no_sync_ = nullptr;
  }
  return full_(file);
}

Result<void> InstallFlush::FullFlush(NativeHandle file) { return FlushFile(file); }

}  // namespace lumaro::platform
