// The two uses of user32: the error dialog and activating another instance's
// window. user32 is loaded only on those paths, from the system folder: a
// normal launch never pays for connecting to the window manager.

#include "platform/system.h"

namespace lumaro::platform {
namespace {

template <class Fn>
Fn Lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Loaded once and never freed: the process ends right after the dialog or
// the activation, and user32 has to stay mapped until then (freeing it just
// before ExitProcess only tears down what ExitProcess would).
HMODULE User32() {
  static HMODULE module;  // constant-initialised: no guard, no threads
  if (module == nullptr) module = LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return module;
}

}  // namespace

void ActivateWindowByTitle(std::string_view title) {
  const HMODULE user32 = User32();
  if (user32 == nullptr) return;
  using FindWindowFn = HWND(WINAPI*)(const wchar_t*, const wchar_t*);
  using ShowWindowFn = BOOL(WINAPI*)(HWND, int);
  using SetForegroundWindowFn = BOOL(WINAPI*)(HWND);
  const auto find_window = Lookup<FindWindowFn>(user32, "FindWindowW");
  const auto show_window = Lookup<ShowWindowFn>(user32, "ShowWindow");
  const auto set_foreground = Lookup<SetForegroundWindowFn>(user32, "SetForegroundWindow");
  if (find_window == nullptr || show_window == nullptr || set_foreground == nullptr) return;

  const std::wstring wide_title = ToWide(title);
  HWND window = find_window(nullptr, wide_title.c_str());
  if (window == nullptr) return;
  show_window(window, SW_RESTORE);
  set_foreground(window);
}

void ShowErrorDialog(std::string_view text, std::string_view caption) {
  const HMODULE user32 = User32();
  if (user32 == nullptr) return;
  using MessageBoxFn = int(WINAPI*)(HWND, const wchar_t*, const wchar_t*, UINT);
  const auto message_box = Lookup<MessageBoxFn>(user32, "MessageBoxW");
  if (message_box == nullptr) return;
  const std::wstring wide_text = ToWide(text);
  const std::wstring wide_caption = ToWide(caption);
  message_box(nullptr, wide_text.c_str(), wide_caption.c_str(), MB_OK | MB_ICONERROR);
}

}  // namespace lumaro::platform
