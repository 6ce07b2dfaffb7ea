// Windows file-name checks for the build-side tools. The launcher leaves these
// to the file system at install time, where a bad name would only surface on
// the user's machine; the pack tool refuses them while the author can fix
// them, and the inspector calls a payload holding them damaged.
#include "tools/common/windows_names.h"

#include <locale.h>
#include <wctype.h>

#include <array>
#include <cstdint>

#include "package/archive.h"
#include "platform/text.h"
#include "tools/common/one_line.h"

namespace lumaro::tools {
namespace {

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiUpper(c);
  return out;
}

// Windows maps these to devices, with or without an extension; the
// superscript digits count as digits there too, and COM0 / LPT0 are listed
// as reserved as well.
bool IsReservedDeviceName(std::string_view component) {
  std::string_view base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  const std::string upper = AsciiUpper(base);
  static constexpr std::array<std::string_view, 6> kPlain = {"CON", "PRN", "AUX", "NUL",
                                                             "CONIN$", "CONOUT$"};
  for (auto reserved : kPlain) {
    if (upper == reserved) return true;
  }
  if (upper.size() < 4) return false;
  const std::string_view stem = std::string_view(upper).substr(0, 3);
  if (stem != "COM" && stem != "LPT") return false;
  const std::string_view digit = std::string_view(upper).substr(3);
  if (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') return true;
  return digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

}  // namespace

std::size_t Utf16Units(std::string_view utf8) {
  std::size_t units = 0;
  for (unsigned char c : utf8) {
    if ((c & 0xC0) != 0x80) ++units;
    if (c >= 0xF0) ++units;
  }
  return units;
}

std::optional<std::string> WindowsComponentProblem(std::string_view component) {
  for (unsigned char c : component) {
    if (c < 0x20) return "contains a control character, which Windows does not allow in names";
    if (std::string_view("<>:\"|?*").find(static_cast<char>(c)) != std::string_view::npos) {
      return Concat("contains ", Quoted(std::string(1, static_cast<char>(c))),
                    ", which Windows does not allow in names");
    }
  }
  if (!component.empty() && (component.back() == '.' || component.back() == ' ')) {
    return Concat("component ", Quoted(component), " ends in a dot or a space, which Windows strips from names");
  }
  if (IsReservedDeviceName(component)) {
    return Concat("component ", Quoted(component), " is a reserved device name on Windows");
  }
  if (Utf16Units(component) > kMaxComponentUnits) {
    return "a component is longer than Windows allows (255 UTF-16 units)";
  }
  return std::nullopt;
}

std::optional<std::string> EntryNameProblem(std::string_view name) {
  if (name.empty()) return "the name is empty";
  if (name.size() > kMaxEntryNameBytes) return "the name is longer than 65,535 bytes";
  if (!platform::IsWellFormedUtf8(name)) return "the name is not valid UTF-8";
  if (name.find('\\') != std::string_view::npos) {
    return "the name contains a backslash, which the launcher treats as a folder separator";
  }
  if (!package::IsAcceptedEntryName(name)) return "the launcher's archive name rules refuse it";
  std::size_t start = 0;
  while (true) {
    const std::size_t end = std::min(name.find('/', start), name.size());
    const std::string_view component = name.substr(start, end - start);
    if (component.empty()) return "the name has an empty component";
    if (component == "." || component == "..") return "the name has a \".\" or \"..\" component";
    if (auto problem = WindowsComponentProblem(component)) return problem;
    if (end == name.size()) break;
    start = end + 1;
  }
  if (Utf16Units(name) > kMaxNameUnits) return "the path is too long for Windows";
  return std::nullopt;
}

bool IsPlainShortName(std::string_view component) {
  auto short_char = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$%&'()-@^_`{}~").find(c) != std::string_view::npos;
  };
  const std::size_t dot = component.find('.');
  const std::string_view base = component.substr(0, dot);
  const std::string_view ext = dot == std::string_view::npos ? std::string_view() : component.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
  if (dot != std::string_view::npos && ext.empty()) return false;
  for (char c : base) if (!short_char(c)) return false;
  for (char c : ext) if (!short_char(c)) return false;
  return true;
}

bool IsShortNameAliasForm(std::string_view component) {
  if (!IsPlainShortName(component)) return false;
  const std::string_view base = component.substr(0, component.find('.'));
  const std::size_t tilde = base.rfind('~');
  if (tilde == std::string_view::npos || tilde + 1 == base.size()) return false;
  for (char c : base.substr(tilde + 1)) if (c < '0' || c > '9') return false;
  return true;
}

std::string CaseFoldKey(std::string_view utf8_name) {
  std::string key;
  key.reserve(utf8_name.size());
  AppendCaseFoldKey(key, utf8_name);
  return key;
}

void AppendCaseFoldKey(std::string& key, std::string_view utf8_name) {
  // glibc's C.UTF-8 carries the Unicode simple case mappings, close to the
  // upcase table NTFS compares names with.
  static const locale_t utf8_locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  std::size_t i = 0;
  while (i < utf8_name.size()) {
    const auto lead = static_cast<unsigned char>(utf8_name[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (lead < 0x80 || utf8_locale == locale_t{} || i + length > utf8_name.size()) {
      key += AsciiUpper(utf8_name[i]);
      ++i;
      continue;
    }
    std::uint32_t code = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      code = (code << 6) | (static_cast<unsigned char>(utf8_name[i + k]) & 0x3F);
    }
    const auto upper = static_cast<std::uint32_t>(towupper_l(static_cast<wint_t>(code), utf8_locale));
    // Keep the key's encoding length stable: a mapping that changes the
    // sequence length is not one NTFS makes.
    const std::size_t upper_length = upper < 0x80 ? 1 : upper < 0x800 ? 2 : upper < 0x10000 ? 3 : 4;
    const std::uint32_t out = upper_length == length ? upper : code;
    if (length == 2) {
      key += static_cast<char>(0xC0 | (out >> 6));
    } else if (length == 3) {
      key += static_cast<char>(0xE0 | (out >> 12));
      key += static_cast<char>(0x80 | ((out >> 6) & 0x3F));
    } else {
      key += static_cast<char>(0xF0 | (out >> 18));
      key += static_cast<char>(0x80 | ((out >> 12) & 0x3F));
      key += static_cast<char>(0x80 | ((out >> 6) & 0x3F));
    }
    key += static_cast<char>(0x80 | (out & 0x3F));
    i += length;
  }
}

}  // namespace lumaro::tools
