// Loading system DLLs and looking up their exports.

#include "platform/module.h"

#include "platform/win32_error.h"

namespace lumaro::platform {

Result<UniqueModule> LoadSystemLibrary(const wchar_t* name) {
  UniqueModule module(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!module) return Fail(LastError());
  return module;
}

void* LookupAddress(HMODULE module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(module, name));
}

HMODULE User32() {
  static HMODULE module;  // constant-initialised: no guard, no threads
  if (module == nullptr) module = LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return module;
}

}  // namespace lumaro::platform
