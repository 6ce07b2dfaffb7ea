// Path joining, parents and the extended-length classification.

#include "platform/path_rules.h"

namespace lumaro::platform {
namespace {


// Length of the root prefix: "\\?\UNC\srv\share\", "\\?\C:\", "\\.\X\",
// "\\srv\share\", "C:\", "C:", "\" or nothing.
std::size_t RootLength(std::string_view p) {
  const auto skip_component = [&](std::size_t i) {
    while (i < p.size() && !IsSeparator(p[i])) ++i;
    return i;
  };
  const auto skip_separator = [&](std::size_t i) {
    return (i < p.size() && IsSeparator(p[i])) ? i + 1 : i;
  };
  if (p.size() >= 2 && IsSeparator(p[0]) && IsSeparator(p[1])) {
    // Verbatim or device ("\\?\", "\??\", "\\.\") or a server share.
    if (p.size() >= 4 && (p[2] == '?' || p[2] == '.') && IsSeparator(p[3])) {
      std::size_t i = 4;
      if (p.size() >= i + 4 && (p.substr(i, 3) == "UNC" || p.substr(i, 3) == "unc") &&
          IsSeparator(p[i + 3])) {
        i = skip_separator(skip_component(i + 4));
        return skip_separator(skip_component(i));
      }
      return skip_separator(skip_component(i));
    }
    std::size_t i = skip_separator(skip_component(2));
    return skip_separator(skip_component(i));
  }
  if (p.size() >= 4 && p[0] == '\\' && p[1] == '?' && p[2] == '?' && p[3] == '\\') {
    return skip_separator(skip_component(4));
  }
  if (p.size() >= 2 && p[1] == ':' && !IsSeparator(p[0])) {
    return skip_separator(2);
  }
  return skip_separator(0);
}

}  // namespace

std::string JoinPath(std::string_view base, std::string_view component) {
  if (base.empty()) return std::string(component);
  std::string out(base);
  const bool bare_drive = base.size() == 2 && base[1] == ':' && !IsSeparator(base[0]);
  if (!IsSeparator(base.back()) && !bare_drive) out.push_back('\\');
  out.append(component);
  return out;
}

bool IsFullyQualified(std::string_view path) {
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return true;
  return path.size() >= 3 && !IsSeparator(path[0]) && path[1] == ':' && IsSeparator(path[2]);
}

bool IsRootOrEmpty(std::string_view path) {
  const std::size_t root = RootLength(path);
  for (std::size_t i = root; i < path.size(); ++i) {
    if (!IsSeparator(path[i])) return false;
  }
  return true;
}

std::optional<std::string_view> ParentPath(std::string_view path) {
  const std::size_t root = RootLength(path);
  std::size_t end = path.size();
  // Drop trailing separators and "." components.
  for (;;) {
    while (end > root && IsSeparator(path[end - 1])) --end;
    if (end > root && path[end - 1] == '.' && (end - 1 == root || IsSeparator(path[end - 2]))) {
      --end;
      continue;
    }
    break;
  }
  if (end == root) return std::nullopt;
  // Drop the last component, then the separators before it.
  while (end > root && !IsSeparator(path[end - 1])) --end;
  while (end > root && IsSeparator(path[end - 1])) --end;
  return path.substr(0, end);
}

SystemPathForm ClassifySystemPath(std::u16string_view p) {
  const bool verbatim = p.size() >= 4 && p[0] == u'\\' && (p[1] == u'\\' || p[1] == u'?') &&
                        p[2] == u'?' && p[3] == u'\\';
  if (verbatim) return SystemPathForm::kUnchanged;
  if (p.size() + 1 < kShortPathUnits) {
    const bool drive = p.size() >= 2 && !IsSeparator(p[0]) && p[1] == u':' &&
                       (p.size() == 2 || IsSeparator(p[2]));
    const bool two_separators = p.size() >= 2 && IsSeparator(p[0]) && IsSeparator(p[1]);
    if (drive || two_separators) return SystemPathForm::kUnchanged;
  }
  return SystemPathForm::kExtendedAbsolute;
}

std::u16string ExtendedLengthPath(std::u16string_view full) {
  if (full.size() >= 4 && full[0] == u'\\' && (full[1] == u'\\' || full[1] == u'?') &&
      full[2] == u'?' && full[3] == u'\\') {
    return std::u16string(full);
  }
  if (full.size() >= 4 && IsSeparator(full[0]) && IsSeparator(full[1]) && full[2] == u'.' &&
      IsSeparator(full[3])) {
    return u"\\\\?\\" + std::u16string(full.substr(4));
  }
  if (full.size() >= 2 && IsSeparator(full[0]) && IsSeparator(full[1])) {
    return u"\\\\?\\UNC\\" + std::u16string(full.substr(2));
  }
  return u"\\\\?\\" + std::u16string(full);
}

}  // namespace lumaro::platform
