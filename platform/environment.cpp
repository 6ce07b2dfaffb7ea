// UTF-16 conversion at the system boundary, path conversion for file-system
// calls, environment variables and the executable's own path.

#include <vector>

#include "platform/path_rules.h"
#include "platform/system.h"
#include "platform/text.h"

namespace lumaro::platform {
namespace {

std::wstring AsWide(std::u16string_view s) { return std::wstring(s.begin(), s.end()); }

std::u16string_view AsU16(std::wstring_view s) {
  return std::u16string_view(reinterpret_cast<const char16_t*>(s.data()), s.size());
}

}  // namespace

std::wstring ToWide(std::string_view utf8) { return AsWide(Utf8ToUtf16(utf8)); }

std::string FromWide(std::wstring_view utf16) {
  if (auto text = Utf16ToUtf8(AsU16(utf16))) return std::move(*text);
  // Unpaired surrogates cannot be represented; keep the rest readable.
  std::u16string repaired(AsU16(utf16));
  for (std::size_t i = 0; i < repaired.size(); ++i) {
    const char16_t c = repaired[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    const bool paired_high =
        high && i + 1 < repaired.size() && repaired[i + 1] >= 0xDC00 && repaired[i + 1] <= 0xDFFF;
    if (paired_high) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      repaired[i] = 0xFFFD;
    }
  }
  return *Utf16ToUtf8(repaired);
}

namespace {

LaunchError NulInPath() { return LaunchError::Static(ErrorKind::kInvalidInput, kNulInPathMessage); }

// GetFullPathNameW, grown until the whole path fits.
Result<std::wstring> FullPathWide(const std::wstring& path) {
  std::wstring full(std::max<std::size_t>(path.size() + 16, MAX_PATH), L'\0');
  for (;;) {
    const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(),
                                     nullptr);
    if (n == 0) return Fail(LaunchError::Os(GetLastError()));
    if (n < full.size()) {
      full.resize(n);
      return full;
    }
    full.resize(n);  // too small: n is the size needed, NUL included
  }
}

}  // namespace

Result<std::wstring> ToSystemPath(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return Fail(NulInPath());
  std::wstring wide = ToWide(path);
  if (ClassifySystemPath(AsU16(wide)) == SystemPathForm::kUnchanged) return wide;
  auto full = FullPathWide(wide);
  if (!full) return Fail(std::move(full.error()));
  return AsWide(ExtendedLengthPath(AsU16(*full)));
}

Result<std::string> FullPathName(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return Fail(NulInPath());
  auto full = FullPathWide(ToWide(path));
  if (!full) return Fail(std::move(full.error()));
  return FromWide(*full);
}

std::optional<std::string> ReadEnvironmentVariable(std::string_view name) {
  const std::wstring wide_name = ToWide(name);
  std::wstring value(256, L'\0');
  for (;;) {
    // A defined but empty variable returns 0 without touching the last error.
    SetLastError(0);
    const DWORD n = GetEnvironmentVariableW(wide_name.c_str(), value.data(),
                                            static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (GetLastError() != 0) return std::nullopt;
      return std::string();
    }
    if (n < value.size()) {
      value.resize(n);
      return FromWide(value);
    }
    value.resize(n);  // too small: n is the size needed, NUL included
  }
}

Result<std::string> ModuleFileName() {
  std::wstring path(512, L'\0');
  for (;;) {
    SetLastError(0);
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    const DWORD error = GetLastError();
    if (n == 0 && error != 0) return Fail(LaunchError::Os(error));
    if (n == path.size() && error == ERROR_INSUFFICIENT_BUFFER) {
      if (path.size() >= 0xFFFFFFFFu) return Fail(LaunchError::Os(error));
      path.resize(std::min<std::size_t>(path.size() * 2, 0xFFFFFFFFu));
      continue;
    }
    if (n == path.size()) {
      // Filled exactly but without the documented error: treat as a failure
      // rather than trust a possibly cut path.
      return Fail(LaunchError::Os(error != 0 ? error : ERROR_INSUFFICIENT_BUFFER));
    }
    path.resize(n);
    return FromWide(path);
  }
}

}  // namespace lumaro::platform
