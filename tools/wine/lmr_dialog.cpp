// Finds a message box by its caption from another process, reports what it
// shows as UTF-8 JSON and (unless --press none) closes it with OK. Each exe
// has its product's caption, so a launcher's dialog is found by the caption's
// start ("Không mở được ") as well as by the whole caption.
//   lmr-dialog (--caption TEXT | --caption-prefix TEXT) [--timeout-ms N]
//              [--out FILE] [--press ok|none] [--stop-file PATH]
//                                     exit 0 found, 1 not found, 2 usage
// It writes "looking" as its first line once it is looking, so a reader
// that Wine ended before it ran is told apart from one that found nothing.
#include "tool_util.h"

#include <string>
#include <vector>

namespace {

constexpr UINT kMessageTimeoutMs = 2000;

struct Button {
  int id;
  std::wstring text;
};

struct DialogContents {
  bool found_text = false;
  std::wstring text;
  bool has_icon = false;
  bool has_ok = false;
  HWND ok_button = nullptr;
  std::vector<Button> buttons;
};

// WM_GETTEXT is marshalled across processes; GetWindowTextW is not, for controls.
std::wstring ReadText(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                           &length)) {
    return {};
  }
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, kMessageTimeoutMs, &copied)) {
    return {};
  }
  text.resize(copied <= length ? copied : length);
  return text;
}

BOOL CALLBACK VisitChild(HWND child, LPARAM param) {
  auto& contents = *reinterpret_cast<DialogContents*>(param);
  wchar_t class_name[64] = {};
  GetClassNameW(child, class_name, 64);
  const std::wstring_view kind = class_name;
  const int id = GetDlgCtrlID(child);
  const LONG style = GetWindowLongW(child, GWL_STYLE);
  if (kind == L"Static") {
    if ((style & SS_TYPEMASK) == SS_ICON) {
      DWORD_PTR icon = 0;
      SendMessageTimeoutW(child, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &icon);
      if (IsWindowVisible(child) && icon != 0) contents.has_icon = true;
    } else if (id == 0xFFFF) {
      contents.found_text = true;
      contents.text = ReadText(child);
    }
  } else if (kind == L"Button" && IsWindowVisible(child)) {
    contents.buttons.push_back({id, ReadText(child)});
    if (id == IDOK) {
      contents.has_ok = true;
      contents.ok_button = child;
    }
  }
  return TRUE;
}

struct PrefixSearch {
  std::wstring_view prefix;
  HWND found = nullptr;
};

BOOL CALLBACK VisitTopLevel(HWND window, LPARAM param) {
  auto& search = *reinterpret_cast<PrefixSearch*>(param);
  wchar_t class_name[16] = {};
  GetClassNameW(window, class_name, 16);
  if (std::wstring_view(class_name) != L"#32770" || !IsWindowVisible(window)) return TRUE;
  const std::wstring caption = ReadText(window);
  if (!std::wstring_view(caption).starts_with(search.prefix)) return TRUE;
  search.found = window;
  return FALSE;
}

// A visible dialog whose caption is caption, or starts with it (prefix).
HWND FindDialog(const std::wstring& caption, bool prefix) {
  if (prefix) {
    PrefixSearch search{caption};
    EnumWindows(VisitTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
  }
  HWND dialog = FindWindowW(L"#32770", caption.c_str());
  if (dialog == nullptr) dialog = FindWindowW(nullptr, caption.c_str());
  return dialog != nullptr && IsWindowVisible(dialog) ? dialog : nullptr;
}

int Usage(const char* why) {
  std::fprintf(stderr, "lmr-dialog: %s\n", why);
  std::fprintf(stderr,
               "usage: lmr-dialog (--caption TEXT | --caption-prefix TEXT) [--timeout-ms N] [--out FILE]"
               " [--press ok|none] [--stop-file PATH]\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring caption, out, stop_file;
  bool have_caption = false, prefix = false, press = true;
  DWORD timeout = 5000;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view opt = argv[i];
    if (i + 1 >= argc) return Usage("option without a value");
    const wchar_t* value = argv[++i];
    if (opt == L"--caption" || opt == L"--caption-prefix") {
      if (have_caption) return Usage("give one of --caption and --caption-prefix");
      caption = value;
      have_caption = true;
      prefix = opt == L"--caption-prefix";
    } else if (opt == L"--timeout-ms") {
      const auto ms = lmr_tool::ParseU32(value);
      if (!ms) return Usage("bad --timeout-ms");
      timeout = *ms;
    } else if (opt == L"--out") {
      out = value;
    } else if (opt == L"--stop-file") {
      stop_file = value;
    } else if (opt == L"--press") {
      const std::wstring_view how = value;
      if (how == L"ok") press = true;
      else if (how == L"none") press = false;
      else return Usage("--press takes ok or none");
    } else {
      return Usage("unknown option");
    }
  }
  if (!have_caption) return Usage("--caption or --caption-prefix is required");

  // A dialog is shown only after WM_INITDIALOG has filled in its controls, so
  // waiting for visibility means the text is complete.
  const ULONGLONG deadline = GetTickCount64() + timeout;
  lmr_tool::WriteStdout("looking\n");
  HWND dialog = nullptr;
  for (;;) {
    dialog = FindDialog(caption, prefix);
    if (dialog != nullptr) break;
    if (GetTickCount64() >= deadline) return 1;
    if (!stop_file.empty() && lmr_tool::FileExists(stop_file)) return 1;
    Sleep(20);
  }

  DialogContents contents;
  EnumChildWindows(dialog, VisitChild, reinterpret_cast<LPARAM>(&contents));

  std::string json = "{\"caption\":" + lmr_tool::JsonString(ReadText(dialog));
  json += ",\"text\":";
  json += contents.found_text ? lmr_tool::JsonString(contents.text) : std::string("null");
  json += ",\"has_icon\":";
  json += contents.has_icon ? "true" : "false";
  json += ",\"has_ok\":";
  json += contents.has_ok ? "true" : "false";
  json += ",\"buttons\":[";
  for (size_t b = 0; b < contents.buttons.size(); ++b) {
    if (b > 0) json += ',';
    json += "{\"id\":" + std::to_string(contents.buttons[b].id) +
            ",\"text\":" + lmr_tool::JsonString(contents.buttons[b].text) + "}";
  }
  json += "]}\n";

  // Report first: once OK is pressed the owner may exit at once.
  if (out.empty()) {
    lmr_tool::WriteStdout(json);
  } else if (!lmr_tool::WriteWholeFile(out, json)) {
    std::fprintf(stderr, "lmr-dialog: cannot write %ls: %lu\n", out.c_str(), GetLastError());
  }
  if (press) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(contents.ok_button));
  }
  return 0;
}
