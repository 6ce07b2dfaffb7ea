// MessageBoxW, looked up in user32 at run time.

#include "platform/message_box.h"

#include "platform/module.h"
#include "platform/wide.h"

namespace lumaro::platform {

void ShowErrorDialog(std::string_view text, std::string_view caption) {
  const HMODULE user32 = User32();
  if (user32 == nullptr) return;
  using MessageBoxFn = int(WINAPI*)(HWND, const wchar_t*, const wchar_t*, UINT);
  const auto message_box = LookupFunction<MessageBoxFn>(user32, "MessageBoxW");
  if (message_box == nullptr) return;
  const std::wstring wide_text = ToWide(text);
  const std::wstring wide_caption = ToWide(caption);
  message_box(nullptr, wide_text.c_str(), wide_caption.c_str(), MB_OK | MB_ICONERROR);
}

}  // namespace lumaro::platform
