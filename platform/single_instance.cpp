// The session-wide mutex and the activation of another instance's window.
// user32 is loaded only on the activation path: a normal launch never pays
// for connecting to the window manager.

#include "platform/single_instance.h"

#include "platform/module.h"
#include "platform/wide.h"

namespace lumaro::platform {

Result<NamedMutex> CreateOwnedNamedMutex(std::string_view name) {
  const std::wstring wide_name = ToWide(name);
  UniqueHandle mutex(CreateMutexW(nullptr, TRUE, wide_name.c_str()));
  const DWORD error = GetLastError();
  if (!mutex) return Fail(LaunchError::Os(error));
  return NamedMutex{std::move(mutex), error == ERROR_ALREADY_EXISTS};
}

void ActivateWindowByTitle(std::string_view title) {
  const HMODULE user32 = User32();
  if (user32 == nullptr) return;
  using FindWindowFn = HWND(WINAPI*)(const wchar_t*, const wchar_t*);
  using ShowWindowFn = BOOL(WINAPI*)(HWND, int);
  using SetForegroundWindowFn = BOOL(WINAPI*)(HWND);
  const auto find_window = LookupFunction<FindWindowFn>(user32, "FindWindowW");
  const auto show_window = LookupFunction<ShowWindowFn>(user32, "ShowWindow");
  const auto set_foreground = LookupFunction<SetForegroundWindowFn>(user32, "SetForegroundWindow");
  if (find_window == nullptr || show_window == nullptr || set_foreground == nullptr) return;

  const std::wstring wide_title = ToWide(title);
  HWND window = find_window(nullptr, wide_title.c_str());
  if (window == nullptr) return;
  show_window(window, SW_RESTORE);
  set_foreground(window);
}

}  // namespace lumaro::platform
