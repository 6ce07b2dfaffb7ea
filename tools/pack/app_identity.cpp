// Identity settings, their checks and the exe's resource script; see
// app_identity.h.
#include "tools/pack/app_identity.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

#include "platform/byte_order.h"
#include "platform/text.h"
#include "tools/common/one_line.h"
#include "tools/common/windows_names.h"
#include "tools/pack/app_folder.h"
#include "tools/pack/payload_output.h"

namespace lumaro::pack {
namespace {

using tools::Concat;
using tools::Quoted;

std::size_t Characters(std::string_view utf8) {
  return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

bool IsControl(char16_t unit) { return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F); }

// Well-formed UTF-8, not empty, no control character, at most max characters.
std::optional<std::string> PlainTextProblem(std::string_view text, std::size_t max) {
  if (!platform::IsWellFormedUtf8(text)) return "is not valid UTF-8";
  if (text.empty()) return "is empty";
  const std::u16string wide = platform::Utf8ToUtf16(text);
  if (std::any_of(wide.begin(), wide.end(), IsControl)) return "holds a control character";
  if (Characters(text) > max) return Concat("is longer than ", std::to_string(max), " characters");
  return std::nullopt;
}

std::optional<std::string> Named(std::string_view what, std::string_view value,
                                 std::optional<std::string> problem) {
  if (!problem) return std::nullopt;
  return Concat(what, " ", Quoted(value), " ", *problem);
}

constexpr std::array<unsigned char, 8> kPngSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::uint32_t kBitmapInfoHeaderSize = 40;
constexpr std::size_t kIcoHeaderSize = 6;
constexpr std::size_t kIcoEntrySize = 16;

std::uint16_t Le16(std::span<const std::byte> bytes, std::size_t at) { return platform::LoadLe16(bytes.data() + at); }
std::uint32_t Le32(std::span<const std::byte> bytes, std::size_t at) { return platform::LoadLe32(bytes.data() + at); }

// A string for a wide L"" literal of a resource script: ASCII as itself ('"'
// doubled, '\' escaped), the rest as UTF-16 units in \x escapes, which
// windres reads four hex digits at most.
std::string RcString(std::string_view utf8) {
  std::string out = "L\"";
  for (const char16_t unit : platform::Utf8ToUtf16(utf8)) {
    if (unit == u'"') {
      out += "\"\"";
    } else if (unit == u'\\') {
      out += "\\\\";
    } else if (unit >= 0x20 && unit < 0x7F) {
      out += static_cast<char>(unit);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%04x", static_cast<unsigned>(unit));
      out += escape;
    }
  }
  return out + "\"";
}

// A string value of package.json, or of its "lumaro" object; absent is
// nullopt, anything but a string is refused.
std::expected<std::optional<std::string>, PackError> StringAt(const PackageJson& package_json,
                                                              const nlohmann::json* object, const char* key,
                                                              std::string_view shown_as) {
  if (object == nullptr || !object->contains(key)) return std::nullopt;
  const nlohmann::json& value = (*object)[key];
  if (!value.is_string()) {
    return std::unexpected(PackError{ErrorClass::kBadInput,
                                     Concat(Quoted(package_json.path), ": ", shown_as, " is not a string")});
  }
  return value.get<std::string>();
}

}  // namespace

std::optional<std::string> TextProblem(std::string_view text) { return PlainTextProblem(text, kMaxTextCharacters); }

std::optional<std::string> DataFolderProblem(std::string_view name) {
  if (auto problem = PlainTextProblem(name, kMaxDataFolderCharacters)) return problem;
  if (name.find_first_of("/\\") != std::string_view::npos) {
    return "holds \"/\" or \"\\\": it must be one folder name";
  }
  if (name == "." || name == "..") return "is not a folder name";
  return tools::WindowsComponentProblem(name);
}

std::optional<std::string> MutexNameProblem(std::string_view name) {
  constexpr std::string_view kPrefix = "Local\\";
  if (auto problem = PlainTextProblem(name, kMaxMutexNameCharacters)) return problem;
  if (!name.starts_with(kPrefix)) {
    return "does not start with \"Local\\\": a launcher guards one logon session";
  }
  if (name.size() == kPrefix.size()) return "has no name after \"Local\\\"";
  if (name.find('\\', kPrefix.size()) != std::string_view::npos) return "holds a \"\\\" after \"Local\\\"";
  return std::nullopt;
}

std::optional<std::string> IconProblem(std::span<const std::byte> ico) {
  if (ico.size() < kIcoHeaderSize) return "is too short for an icon header";
  if (Le16(ico, 0) != 0 || Le16(ico, 2) != 1) return "does not start with an icon header (0, 1)";
  const std::size_t count = Le16(ico, 4);
  if (count == 0) return "holds no image";
  const std::size_t directory_end = kIcoHeaderSize + count * kIcoEntrySize;
  if (directory_end > ico.size()) return "is shorter than its image directory";
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t entry = kIcoHeaderSize + i * kIcoEntrySize;
    const std::uint32_t size = Le32(ico, entry + 8);
    const std::uint32_t offset = Le32(ico, entry + 12);
    const std::string which = Concat("image ", std::to_string(i + 1));
    if (size == 0) return Concat(which, " is empty");
    if (offset < directory_end || offset > ico.size() || size > ico.size() - offset) {
      return Concat(which, " lies outside the file");
    }
    const auto image = ico.subspan(offset, size);
    const bool png = size >= kPngSignature.size() && std::memcmp(image.data(), kPngSignature.data(), 8) == 0;
    const bool bitmap = size >= kBitmapInfoHeaderSize && Le32(image, 0) == kBitmapInfoHeaderSize;
    if (!png && !bitmap) return Concat(which, " is neither a PNG nor a bitmap");
  }
  return std::nullopt;
}

std::expected<IdentitySettings, PackError> PackageJsonIdentity(const PackageJson& package_json) {
  IdentitySettings out;
  const nlohmann::json* lumaro = package_json.Find("lumaro");
  if (lumaro != nullptr && !lumaro->is_object()) {
    return std::unexpected(PackError{ErrorClass::kBadInput, Concat(Quoted(package_json.path),
                                                                   ": \"lumaro\" is not an object")});
  }
  const nlohmann::json* top = package_json.document.is_object() ? &package_json.document : nullptr;
  struct Field {
    const nlohmann::json* object;
    const char* key;
    const char* shown_as;
    std::optional<std::string>* into;
  };
  for (const Field& field : {
           Field{top, "productName", "\"productName\"", &out.product_name},
           Field{top, "description", "\"description\"", &out.description},
           Field{lumaro, "company", "\"lumaro\".\"company\"", &out.company},
           Field{lumaro, "copyright", "\"lumaro\".\"copyright\"", &out.copyright},
           Field{lumaro, "icon", "\"lumaro\".\"icon\"", &out.icon},
           Field{lumaro, "dataFolder", "\"lumaro\".\"dataFolder\"", &out.data_folder},
           Field{lumaro, "windowTitle", "\"lumaro\".\"windowTitle\"", &out.window_title},
           Field{lumaro, "mutexName", "\"lumaro\".\"mutexName\"", &out.mutex_name},
       }) {
    auto value = StringAt(package_json, field.object, field.key, field.shown_as);
    if (!value) return std::unexpected(value.error());
    *field.into = std::move(*value);
  }
  // npm's "author" is a string or an object with a "name"; only the
  // company falls back to it, so any other shape is passed over.
  if (!out.company) {
    if (const nlohmann::json* author = package_json.Find("author")) {
      if (author->is_string()) {
        out.company = author->get<std::string>();
      } else if (author->is_object() && author->contains("name") && (*author)["name"].is_string()) {
        out.company = (*author)["name"].get<std::string>();
      }
    }
  }
  return out;
}

namespace {

// The archive name package.json's icon gives ("/" or "\" between folders,
// "." parts dropped), or nullopt for one that could leave the folder: an
// absolute path, a drive, "..".
std::optional<std::string> IconArchiveName(std::string_view value) {
  std::string name;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(value.find_first_of("/\\", start), value.size());
    const std::string_view part = value.substr(start, end - start);
    if (part == ".." || part.find(':') != std::string_view::npos || (part.empty() && start == 0)) return std::nullopt;
    if (!part.empty() && part != ".") {
      if (!name.empty()) name += '/';
      name += part;
    }
    if (end == value.size()) break;
    start = end + 1;
  }
  if (name.empty()) return std::nullopt;
  return name;
}

std::expected<std::vector<std::byte>, PackError> ReadFlagIcon(const std::filesystem::path& icon,
                                                              const std::string& shown) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(icon, ec)) {
    return std::unexpected(PackError{ErrorClass::kBadInput, Concat(shown, ": no such file")});
  }
  std::ifstream in(icon, std::ios::binary);
  std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) return std::unexpected(PackError{ErrorClass::kIo, Concat(shown, ": cannot read")});
  std::vector<std::byte> bytes(chars.size());
  if (!chars.empty()) std::memcpy(bytes.data(), chars.data(), chars.size());
  return bytes;
}

std::expected<std::vector<std::byte>, PackError> ReadPackagedIcon(const AppFolder& folder, std::string_view value,
                                                                  const std::string& shown) {
  const auto name = IconArchiveName(value);
  const SourceFile* file = name ? FindAppFile(folder, *name) : nullptr;
  if (file == nullptr) {
    return std::unexpected(PackError{ErrorClass::kBadInput, Concat(shown, " names no file of the app folder")});
  }
  return ReadAppFile(folder, *file);
}

}  // namespace

std::expected<AppIdentity, PackError> ResolveIdentity(const IdentitySettings& flags,
                                                      const IdentitySettings& package_json,
                                                      const AppFolder* folder) {
  std::optional<PackError> refusal;
  // The flag's value, else package.json's, else the default; checked, the
  // first refusal kept.
  auto pick = [&](std::optional<std::string> IdentitySettings::*member, std::string_view flag, std::string_view key,
                  std::string fallback, auto problem_of) -> std::string {
    const bool from_flag = (flags.*member).has_value();
    const bool from_json = !from_flag && (package_json.*member).has_value();
    std::string value = from_flag ? *(flags.*member) : from_json ? *(package_json.*member) : std::move(fallback);
    if (refusal) return value;
    if (auto problem = problem_of(value)) {
      const std::string source = from_flag ? Concat(flag) : Concat(key, " of package.json");
      refusal = PackError{from_flag ? ErrorClass::kUsage : ErrorClass::kBadInput,
                          Concat(source, " ", Quoted(value), " cannot be used: it ", *problem)};
    }
    return value;
  };
  AppIdentity identity;
  identity.product_name = pick(&IdentitySettings::product_name, "--product-name", "\"productName\"",
                               std::string(kLumaroProductName), TextProblem);
  identity.company = pick(&IdentitySettings::company, "--company", "\"lumaro\".\"company\" (or \"author\")",
                          identity.product_name, TextProblem);
  identity.description = pick(&IdentitySettings::description, "--description", "\"description\"",
                              identity.product_name, TextProblem);
  if (flags.copyright || package_json.copyright) {
    identity.copyright = pick(&IdentitySettings::copyright, "--copyright", "\"lumaro\".\"copyright\"", {}, TextProblem);
  }
  identity.data_folder = pick(&IdentitySettings::data_folder, "--data-folder", "\"lumaro\".\"dataFolder\"",
                              identity.product_name, DataFolderProblem);
  identity.window_title = pick(&IdentitySettings::window_title, "--window-title", "\"lumaro\".\"windowTitle\"",
                               identity.product_name == kLumaroProductName ? std::string(kLumaroWindowTitle)
                                                                           : identity.product_name,
                               TextProblem);
  identity.mutex_name = pick(&IdentitySettings::mutex_name, "--mutex-name", "\"lumaro\".\"mutexName\"",
                             identity.data_folder == kLumaroProductName
                                 ? std::string(kLumaroMutexName)
                                 : Concat("Local\\", identity.data_folder, ".Desktop"),
                             MutexNameProblem);
  if (refusal) return std::unexpected(*refusal);

  if (!flags.icon && !package_json.icon) {
    const auto lumaro = LumaroIcon();
    identity.icon.assign(lumaro.begin(), lumaro.end());
    return identity;
  }
  const std::string shown = flags.icon
                                ? Concat("--icon ", Quoted(*flags.icon))
                                : Concat("\"lumaro\".\"icon\" of package.json (", Quoted(*package_json.icon), ")");
  auto bytes = flags.icon ? ReadFlagIcon(*flags.icon, shown)
               : folder   ? ReadPackagedIcon(*folder, *package_json.icon, shown)
                          : std::unexpected(PackError{ErrorClass::kBadInput, Concat(shown, ": no app folder")});
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  identity.icon = std::move(*bytes);
  if (auto problem = IconProblem(identity.icon)) {
    return std::unexpected(PackError{ErrorClass::kBadInput, Concat(shown, " is not a valid .ico: it ", *problem)});
  }
  return identity;
}

AppIdentity LumaroIdentity() {
  AppIdentity identity = *ResolveIdentity({}, {}, nullptr);
  identity.exe_name = Concat(identity.product_name, ".exe");
  return identity;
}

std::expected<AppIdentity, PackError> ChooseIdentity(const IdentityOptions& options, const PackageJson& package_json,
                                                     const AppFolder& folder) {
  auto from_json = PackageJsonIdentity(package_json);
  if (!from_json) return std::unexpected(from_json.error());
  auto identity = ResolveIdentity(options.settings, *from_json, &folder);
  if (!identity) return identity;
  identity->exe_name = options.exe_name.value_or(Concat(identity->product_name, ".exe"));
  if (options.exe_name) {
    if (auto problem = Named("--exe-name", identity->exe_name, TextProblem(identity->exe_name))) {
      return std::unexpected(PackError{ErrorClass::kUsage, *problem});
    }
  }
  return identity;
}

std::expected<void, PackError> WriteIdentityOutputs(const IdentityOptions& options, const AppIdentity& identity,
                                                    const ReleaseVersion& version,
                                                    const std::optional<std::string>& version_rc) {
  if (options.icon_out) {
    if (auto written = WriteFileIfChanged(*options.icon_out, std::span<const std::byte>(identity.icon)); !written) {
      return written;
    }
  }
  if (version_rc) return WriteFileIfChanged(*version_rc, ExeResourceScript(version, identity));
  return {};
}

std::string ExeResourceScript(const ReleaseVersion& version, const AppIdentity& identity) {
  const std::string_view exe_name = identity.exe_name;
  const auto& n = version.numbers;
  const std::string numbers = Concat(std::to_string(n[0]), ",", std::to_string(n[1]), ",", std::to_string(n[2]), ",",
                                     std::to_string(n[3]));
  std::string_view internal_name = exe_name;
  if (internal_name.size() > 4 && platform::IsWellFormedUtf8(internal_name) &&
      tools::CaseFoldKey(internal_name.substr(internal_name.size() - 4)) == ".EXE") {
    internal_name.remove_suffix(4);
  }
  std::vector<std::pair<std::string_view, std::string_view>> strings = {
      {"CompanyName", identity.company},
      {"FileDescription", identity.description},
      {"FileVersion", version.text},
      {"InternalName", internal_name},
      {"OriginalFilename", exe_name},
      {"ProductName", identity.product_name},
      {"ProductVersion", version.text},
  };
  if (identity.copyright) strings.emplace_back("LegalCopyright", *identity.copyright);
  std::sort(strings.begin(), strings.end());
  std::string values;
  for (const auto& [key, value] : strings) values += Concat("      VALUE \"", key, "\", ", RcString(value), "\n");
  return Concat(
      "// Generated by lmr-pack: the icon and version resource of one launcher.\n"
      "#include <winver.h>\n"
      "\n"
      "1 ICON \"icon.ico\"\n"
      "\n"
      "VS_VERSION_INFO VERSIONINFO\n"
      "FILEVERSION     ", numbers, "\n"
      "PRODUCTVERSION  ", numbers, "\n"
      "FILEFLAGSMASK   VS_FFI_FILEFLAGSMASK\n"
      "FILEFLAGS       0\n"
      "FILEOS          VOS_NT_WINDOWS32\n"
      "FILETYPE        VFT_APP\n"
      "FILESUBTYPE     0\n"
      "BEGIN\n"
      "  BLOCK \"StringFileInfo\"\n"
      "  BEGIN\n"
      "    BLOCK \"040904B0\"\n"
      "    BEGIN\n",
      values,
      "    END\n"
      "  END\n"
      "  BLOCK \"VarFileInfo\"\n"
      "  BEGIN\n"
      "    VALUE \"Translation\", 0x0409, 1200\n"
      "  END\n"
      "END\n");
}

}  // namespace lumaro::pack
