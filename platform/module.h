// System DLLs loaded at run time, and typed lookups of their functions.
#pragma once

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace lumaro::platform {

// LoadLibraryExW from the system folder only: a DLL of the same name beside
// the exe or in the current folder is never loaded.
Result<UniqueModule> LoadSystemLibrary(const wchar_t* name);

// GetProcAddress as the function type the caller declares; null when the
// export is missing, with the reason in the last error.
void* LookupAddress(ModuleHandle module, const char* name);
template <class Fn>
Fn LookupFunction(ModuleHandle module, const char* name) {
  return reinterpret_cast<Fn>(LookupAddress(module, name));
}

// user32.dll from the system folder, loaded on first use and kept until the
// process ends: the dialog and the window activation are the process's last
// acts, and freeing it just before ExitProcess only tears down what
// ExitProcess would. Null when it cannot be loaded.
ModuleHandle User32();

}  // namespace lumaro::platform
