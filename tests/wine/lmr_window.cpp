// A stand-in for the running application's window: a top-level window with a
// given title and show state whose state (iconic, zoomed, foreground) is
// rewritten to a JSON file whenever it changes, so tests can watch a second
// launcher activate it.
//   lmr-window [--title T] [--state normal|minimized|maximized]
//              [--state-file F] [--lifetime-ms N] [--stop-file S]
#include "tools/wine/tool_util.h"

#include <string>

namespace {

constexpr UINT_PTR kPollTimer = 1;
constexpr UINT kPollMs = 50;

struct Options {
  std::wstring title = L"Lumaro \u00B7 M\u00E1y nh\u00E0";
  int show = SW_SHOWNORMAL;
  std::wstring state_file;
  std::wstring stop_file;
  DWORD lifetime = 30000;
};

Options g_options;
std::string g_last_state;
ULONGLONG g_deadline = 0;

std::string RectJson(const RECT& rect) {
  return "[" + std::to_string(rect.left) + "," + std::to_string(rect.top) + "," +
         std::to_string(rect.right) + "," + std::to_string(rect.bottom) + "]";
}

std::string DescribeState(HWND window) {
  RECT rect{};
  GetWindowRect(window, &rect);
  auto flag = [](bool on) { return on ? "true" : "false"; };
  std::string json = "{\"iconic\":";
  json += flag(IsIconic(window));
  json += ",\"zoomed\":";
  json += flag(IsZoomed(window));
  json += ",\"foreground\":";
  json += flag(GetForegroundWindow() == window);
  json += ",\"visible\":";
  json += flag(IsWindowVisible(window));
  json += ",\"rect\":" + RectJson(rect);
  // Where a restore puts the window back (workspace coordinates, which are
  // screen coordinates here: there is no taskbar).
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  GetWindowPlacement(window, &placement);
  json += ",\"normal_rect\":" + RectJson(placement.rcNormalPosition) + "}\n";
  return json;
}

void Poll(HWND window) {
  if (GetTickCount64() >= g_deadline ||
      (!g_options.stop_file.empty() && lmr_tool::FileExists(g_options.stop_file))) {
    DestroyWindow(window);
    return;
  }
  const std::string state = DescribeState(window);
  if (state != g_last_state && !g_options.state_file.empty() &&
      lmr_tool::WriteWholeFile(g_options.state_file, state)) {
    g_last_state = state;
  }
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_TIMER:
      if (wparam == kPollTimer) Poll(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; i += 2) {
    const std::wstring_view opt = argv[i];
    if (i + 1 >= argc) return 2;
    const wchar_t* value = argv[i + 1];
    if (opt == L"--title") {
      g_options.title = value;
    } else if (opt == L"--state") {
      const std::wstring_view state = value;
      if (state == L"normal") g_options.show = SW_SHOWNORMAL;
      else if (state == L"minimized") g_options.show = SW_SHOWMINIMIZED;
      else if (state == L"maximized") g_options.show = SW_SHOWMAXIMIZED;
      else return 2;
    } else if (opt == L"--state-file") {
      g_options.state_file = value;
    } else if (opt == L"--stop-file") {
      g_options.stop_file = value;
    } else if (opt == L"--lifetime-ms") {
      g_options.lifetime = lmr_tool::ParseU32(value).value_or(30000);
    } else {
      std::fprintf(stderr, "usage: lmr-window [--title T] [--state normal|minimized|maximized] "
                           "[--state-file F] [--lifetime-ms N] [--stop-file S]\n");
      return 2;
    }
  }
  g_deadline = GetTickCount64() + g_options.lifetime;

  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = instance;
  window_class.lpszClassName = L"LumaroTestWindow";
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  if (!RegisterClassW(&window_class)) return 3;
  HWND window = CreateWindowExW(0, window_class.lpszClassName, g_options.title.c_str(),
                                WS_OVERLAPPEDWINDOW, 100, 100, 480, 320, nullptr, nullptr,
                                instance, nullptr);
  if (window == nullptr) return 3;
  ShowWindow(window, g_options.show);
  Poll(window);
  SetTimer(window, kPollTimer, kPollMs, nullptr);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
