// The only door to <windows.h> and the native API declarations we use.
#pragma once

#ifdef LUMARO_WITHOUT_WIN32_TYPES
#error "launcher/ and package/ use platform/'s own types, never <windows.h>'s"
#endif

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winternl.h>

extern "C" {
// Declared here because mingw's winternl.h lacks NtWriteFile's prototype in
// some versions; the signatures are the documented ones.
NTSTATUS NTAPI NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                           PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length,
                           PLARGE_INTEGER byte_offset, PULONG key);
NTSTATUS NTAPI NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                          PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length,
                          PLARGE_INTEGER byte_offset, PULONG key);
ULONG NTAPI RtlNtStatusToDosError(NTSTATUS status);
}
