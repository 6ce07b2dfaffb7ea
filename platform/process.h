// Starting a child process with chosen standard handles and waiting for it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace lumaro::platform {

// What one of the child's standard streams is connected to.
struct InheritedStdio {};  // a duplicate of this process's own handle, if it has one
struct NullDevice {};      // "\\.\NUL"
using StdioSetting = std::variant<InheritedStdio, NullDevice, UniqueFileHandle>;

// CREATE_NO_WINDOW: a console program gets no console window.
inline constexpr std::uint32_t kCreateNoWindow = 0x08000000;

// Everything CreateProcessW takes, already in the system's form.
struct ProcessStart {
  std::wstring application;      // NUL-terminated system path: no search
  std::u16string command_line;   // quoted; CreateProcessW may write into it
  std::u16string environment;    // a whole block, or empty for the parent's own
  std::optional<std::u16string> working_folder;  // nullopt for the parent's own
  std::uint32_t creation_flags = 0;
};

// Starts the child and blocks until it ends: its exit code, or the error that
// stopped the start or the wait. The handles made for the child are
// inheritable only while a process-wide lock is held, so no other start in
// this process inherits them, and they close once the child has started.
// The stdio settings are for input, output and error, in that order.
Result<std::uint32_t> RunProcessToExit(ProcessStart start,
                                       std::span<const StdioSetting, 3> stdio);

}  // namespace lumaro::platform
