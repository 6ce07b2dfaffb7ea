// Path conversion for file-system calls.

#include "platform/system_path.h"

#include "platform/path_rules.h"
#include "platform/wide.h"

namespace lumaro::platform {
namespace {

LaunchError NulInPath() { return LaunchError::Static(ErrorKind::kInvalidInput, kNulInPathMessage); }

Result<std::wstring> FullPathWide(const std::wstring& path) {
  return FillWideBuffer(
      [&](wchar_t* buffer, DWORD size) {
        return GetFullPathNameW(path.c_str(), size, buffer, nullptr);
      },
      std::max<std::size_t>(path.size() + 16, MAX_PATH));
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

}  // namespace lumaro::platform
