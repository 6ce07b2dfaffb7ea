// Identity settings, their checks and the exe's resource script; see
// app_identity.h.
#include "tools/pack/app_identity.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

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

std::string_view HiddenKindText(tools::HiddenKind kind) {
  switch (kind) {
    case tools::HiddenKind::kControl: return "a control character";
    case tools::HiddenKind::kBidiControl: return "a bidirectional control, which reorders the text around it";
    case tools::HiddenKind::kInvisible: return "an invisible character";
    case tools::HiddenKind::kSoftHyphen: return "a soft hyphen, which a folder name does not show";
    case tools::HiddenKind::kNoncharacter: return "a Unicode noncharacter";
  }
  return "a hidden character";
}

// The one check every identity value passes: well-formed UTF-8, not empty,
// nothing that shows as something else or as nothing, at most max
// characters. Names of things (a folder, a mutex) refuse soft hyphens too.
std::optional<std::string> PlainTextProblem(std::string_view text, std::size_t max, bool is_name = false) {
  if (!platform::IsWellFormedUtf8(text)) return "is not valid UTF-8";
  if (text.empty()) return "is empty";
  if (const auto hidden = tools::FirstHiddenCharacter(text, is_name)) {
    return Concat("holds ", tools::CodePointName(hidden->code), ", ", HiddenKindText(hidden->kind));
  }
  if (Characters(text) > max) return Concat("is longer than ", std::to_string(max), " characters");
  return std::nullopt;
}

// A value as a message shows it: quoted, and cut when it is far over every
// bound, so that a refused 60 MB text does not become a 60 MB message.
std::string Shown(std::string_view value) {
  constexpr std::size_t kShownBytes = 300;
  if (value.size() <= kShownBytes) return Quoted(value);
  std::size_t cut = kShownBytes;
  while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;
  return Concat(Quoted(value.substr(0, cut)), " (cut; ", std::to_string(value.size()), " bytes in all)");
}

std::optional<std::string> Named(std::string_view what, std::string_view value,
                                 std::optional<std::string> problem) {
  if (!problem) return std::nullopt;
  return Concat(what, " ", Shown(value), " cannot be used: it ", *problem);
}

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

// npm's "author" string, "Name <email> (url)": the name; nullopt when
// there is none.
std::optional<std::string> AuthorName(std::string_view author) {
  std::string_view name = author.substr(0, author.find_first_of("<("));
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
  if (name.empty()) return std::nullopt;
  return std::string(name);
}

}  // namespace

std::optional<std::string> TextProblem(std::string_view text) { return PlainTextProblem(text, kMaxTextCharacters); }

std::optional<std::string> DataFolderProblem(std::string_view name) {
  if (auto problem = PlainTextProblem(name, kMaxDataFolderCharacters, true)) return problem;
  if (name.find_first_of("/\\") != std::string_view::npos) {
    return "holds \"/\" or \"\\\", so it is no single folder name";
  }
  if (name == "." || name == "..") return "is not a folder name";
  return tools::WindowsNameProblem(name);
}

std::string DerivedMutexName(std::string_view data_folder) {
  const std::string folded = tools::CaseFoldKey(data_folder);
  if (folded == tools::CaseFoldKey(kLumaroProductName)) return std::string(kLumaroMutexName);
  return Concat("Local\\", folded, ".Desktop");
}

std::optional<std::string> MutexNameProblem(std::string_view name) {
  constexpr std::string_view kPrefix = "Local\\";
  if (auto problem = PlainTextProblem(name, kMaxMutexNameCharacters, true)) return problem;
  if (!name.starts_with(kPrefix)) {
    return "does not start with \"Local\\\": a launcher guards one logon session";
  }
  if (name.size() == kPrefix.size()) return "has no name after \"Local\\\"";
  if (name.find('\\', kPrefix.size()) != std::string_view::npos) return "holds a \"\\\" after \"Local\\\"";
  return std::nullopt;
}

std::expected<IdentitySettings, PackError> PackageJsonIdentity(const PackageJson& package_json) {
  IdentitySettings out;
  const nlohmann::json* lumaro = package_json.Find("lumaro");
  if (lumaro != nullptr && !lumaro->is_object()) {
    return std::unexpected(PackError{ErrorClass::kBadInput,
                                     "package.json's \"lumaro\" cannot be used: it is not an object; make it one "
                                     "of the settings, such as {\"dataFolder\": \"MyApp\"}"});
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
    auto value = PackageJsonString(field.object, field.key, field.shown_as);
    if (!value) return std::unexpected(value.error());
    *field.into = std::move(*value);
  }
  // npm's "author" is "Name <email> (url)" or an object with a "name"; only
  // the company falls back to it, so any other shape is passed over.
  if (!out.company) {
    if (const nlohmann::json* author = package_json.Find("author")) {
      if (author->is_string()) {
        out.company = AuthorName(author->get<std::string>());
      } else if (author->is_object() && author->contains("name") && (*author)["name"].is_string()) {
        out.company = AuthorName((*author)["name"].get<std::string>());
      }
      out.company_from_author = out.company.has_value();
    }
  }
  return out;
}

namespace {

std::expected<std::vector<std::byte>, PackError> ReadFlagIcon(const std::filesystem::path& icon,
                                                              const std::string& shown) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(icon, ec)) {
    return std::unexpected(
        PackError{ErrorClass::kBadInput, Concat(shown, " cannot be used: it names no file; give the path of an .ico file")});
  }
  // Bounded before it is read: the check below needs all of it.
  const std::uintmax_t size = std::filesystem::file_size(icon, ec);
  if (ec || size > kMaxIconFileBytes) {
    return std::unexpected(
        PackError{ErrorClass::kBadInput, Concat(shown, " cannot be used: it ", IconSizeProblem(size))});
  }
  std::ifstream in(icon, std::ios::binary);
  std::vector<std::byte> bytes(static_cast<std::size_t>(size));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!in || in.peek() != std::ifstream::traits_type::eof()) {
    return std::unexpected(PackError{ErrorClass::kIo, Concat(shown, ": cannot read it, or it changed while read")});
  }
  return bytes;
}

std::expected<std::vector<std::byte>, PackError> ReadPackagedIcon(const AppFolder& folder, std::string_view value,
                                                                  const std::string& shown) {
  const auto name = AppFileArchiveName(value);
  const SourceFile* file = name ? FindAppFile(folder, *name) : nullptr;
  if (file == nullptr) {
    return std::unexpected(PackError{ErrorClass::kBadInput,
                                     Concat(shown, " cannot be used: it names no file of the app folder; give the "
                                                   "path of an .ico inside it, relative to it")});
  }
  if (file->size > kMaxIconFileBytes) {
    return std::unexpected(PackError{ErrorClass::kBadInput,
                                     Concat(shown, " cannot be used: it ", IconSizeProblem(file->size))});
  }
  return ReadAppFile(folder, *file);
}

// Where a value came from, as a refusal names it, and the status a refusal
// of it exits with: what was typed on the command line is a usage error,
// what a file says is bad input, and a default carries the status of the
// value it was taken from.
struct Origin {
  enum Kind { kFlag, kPackageJson, kDerived } kind;
  std::string taken_from;  // kDerived: "the product name "X" (--product-name)"
  ErrorClass error_class;
};

struct Setting {
  std::optional<std::string> IdentitySettings::*member;
  std::string_view label;  // "data folder"
  std::string_view valid;  // what to give instead
  std::string_view flag;
  std::string_view key;    // package.json's
};

std::string Refusal(const Setting& setting, std::string_view key, const std::string& value, const Origin& origin,
                    std::string_view problem) {
  switch (origin.kind) {
    case Origin::kFlag:
      return Concat(setting.flag, " ", Shown(value), " cannot be used: it ", problem, "; give ", setting.valid,
                    " with ", setting.flag);
    case Origin::kPackageJson:
      return Concat("package.json's ", key, " ", Shown(value), " cannot be used: it ", problem, "; correct it in "
                    "package.json, or give ", setting.valid, " with ", setting.flag);
    case Origin::kDerived:
      break;
  }
  return Concat("the ", setting.label, " ", Shown(value), ", taken from ", origin.taken_from,
                ", cannot be used: it ", problem, "; give ", setting.valid, " with ", setting.flag,
                " or package.json's ", setting.key);
}

}  // namespace

std::expected<AppIdentity, PackError> ResolveIdentity(const IdentitySettings& flags,
                                                      const IdentitySettings& package_json,
                                                      const AppFolder* folder) {
  std::optional<PackError> refusal;
  // The flag's value, else package.json's, else the default; checked, the
  // first refusal kept. Where it came from, for the values derived from it.
  auto pick = [&](const Setting& setting, std::string fallback, const Origin& fallback_origin, auto problem_of,
                  std::string_view key) -> std::pair<std::string, Origin> {
    const bool from_flag = (flags.*setting.member).has_value();
    const bool from_json = !from_flag && (package_json.*setting.member).has_value();
    std::string value = from_flag ? *(flags.*setting.member) : from_json ? *(package_json.*setting.member)
                                                                         : std::move(fallback);
    const Origin origin = from_flag   ? Origin{Origin::kFlag, {}, ErrorClass::kUsage}
                          : from_json ? Origin{Origin::kPackageJson, {}, ErrorClass::kBadInput}
                                      : fallback_origin;
    if (!refusal) {
      if (auto problem = problem_of(value)) {
        refusal = PackError{origin.error_class, Refusal(setting, key, value, origin, *problem)};
      }
    }
    return {std::move(value), origin};
  };
  auto derived_from = [](std::string_view label, const std::string& value, const Setting& setting,
                         const Origin& origin) {
    if (origin.kind == Origin::kDerived) return origin;
    const std::string where = origin.kind == Origin::kFlag ? std::string(setting.flag)
                                                           : Concat("package.json's ", setting.key);
    return Origin{Origin::kDerived, Concat("the ", label, " ", Shown(value), " (", where, ")"), origin.error_class};
  };
  static const Setting kProduct{&IdentitySettings::product_name, "product name", "another product name",
                                "--product-name", "\"productName\""};
  static const Setting kCompany{&IdentitySettings::company, "company", "another company name", "--company",
                                "\"lumaro\".\"company\""};
  static const Setting kDescription{&IdentitySettings::description, "description", "another description",
                                    "--description", "\"description\""};
  static const Setting kCopyright{&IdentitySettings::copyright, "copyright", "another copyright", "--copyright",
                                  "\"lumaro\".\"copyright\""};
  static const Setting kDataFolder{&IdentitySettings::data_folder, "data folder", "a valid folder name",
                                   "--data-folder", "\"lumaro\".\"dataFolder\""};
  static const Setting kWindowTitle{&IdentitySettings::window_title, "window title", "another window title",
                                    "--window-title", "\"lumaro\".\"windowTitle\""};
  static const Setting kMutexName{&IdentitySettings::mutex_name, "mutex name",
                                  "a name such as \"Local\\MyApp.Desktop\"", "--mutex-name",
                                  "\"lumaro\".\"mutexName\""};
  // Lumaro's own defaults cannot be refused; their origin is never shown.
  const Origin lumaro_default{Origin::kDerived, "Lumaro's default", ErrorClass::kUsage};

  AppIdentity identity;
  const auto [product_name, product_origin] =
      pick(kProduct, std::string(kLumaroProductName), lumaro_default, TextProblem, kProduct.key);
  identity.product_name = product_name;
  const Origin from_product = derived_from("product name", product_name, kProduct, product_origin);
  identity.company = pick(kCompany, product_name, from_product, TextProblem,
                          package_json.company_from_author ? "\"author\"" : kCompany.key).first;
  identity.description = pick(kDescription, product_name, from_product, TextProblem, kDescription.key).first;
  if (flags.copyright || package_json.copyright) {
    identity.copyright = pick(kCopyright, {}, lumaro_default, TextProblem, kCopyright.key).first;
  }
  const auto [data_folder, folder_origin] =
      pick(kDataFolder, product_name, from_product, DataFolderProblem, kDataFolder.key);
  identity.data_folder = data_folder;
  identity.window_title = pick(kWindowTitle,
                               product_name == kLumaroProductName ? std::string(kLumaroWindowTitle) : product_name,
                               from_product, TextProblem, kWindowTitle.key).first;
  // The guard follows the folder, spelled as Windows compares folder names:
  // two spellings of one folder get one guard.
  identity.mutex_name = pick(kMutexName, DerivedMutexName(data_folder),
                             derived_from("data folder", data_folder, kDataFolder, folder_origin), MutexNameProblem,
                             kMutexName.key).first;
  if (refusal) return std::unexpected(*refusal);

  if (!flags.icon && !package_json.icon) {
    const auto lumaro = LumaroIcon();
    identity.icon.assign(lumaro.begin(), lumaro.end());
    return identity;
  }
  const std::string shown = flags.icon ? Concat("--icon ", Quoted(*flags.icon))
                                       : Concat("package.json's \"lumaro\".\"icon\" ", Quoted(*package_json.icon));
  auto bytes = flags.icon ? ReadFlagIcon(*flags.icon, shown)
               : folder   ? ReadPackagedIcon(*folder, *package_json.icon, shown)
                          : std::unexpected(PackError{ErrorClass::kBadInput, Concat(shown, ": no app folder")});
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  identity.icon = std::move(*bytes);
  if (auto problem = IconProblem(identity.icon)) {
    return std::unexpected(PackError{ErrorClass::kBadInput, Concat(shown, " cannot be used: it is not a valid .ico: ",
                                                                   *problem, "; give an .ico of 1 to ",
                                                                   std::to_string(kMaxIconImages),
                                                                   " PNG or bitmap images")});
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
  if (version_rc) {
    // The checks above keep it far below; this guards the 16-bit lengths
    // should a bound ever be raised.
    if (const std::size_t bytes = VersionResourceBytes(version, identity); bytes > kMaxVersionResourceBytes) {
      return std::unexpected(PackError{ErrorClass::kBadInput,
                                       Concat("the version information would take ", std::to_string(bytes),
                                              " bytes, more than its 16-bit length can say; give shorter names")});
    }
    return WriteFileIfChanged(*version_rc, ExeResourceScript(version, identity));
  }
  return {};
}

namespace {

// One node of the version resource: wLength, wValueLength, wType, the key
// and its terminator, padded to 4 bytes, then the value, padded again.
std::size_t VersionNodeBytes(std::string_view key, std::size_t value_bytes) {
  const auto pad = [](std::size_t n) { return (n + 3) / 4 * 4; };
  return pad(pad(6 + (tools::Utf16Units(key) + 1) * 2) + value_bytes);
}

}  // namespace

std::size_t VersionResourceBytes(const ReleaseVersion& version, const AppIdentity& identity) {
  std::size_t strings = 0;
  for (const auto& [key, value] : VersionStrings(version, identity)) {
    strings += VersionNodeBytes(key, (tools::Utf16Units(value) + 1) * 2);
  }
  constexpr std::size_t kFixedFileInfoBytes = 52;
  const std::size_t table = VersionNodeBytes("040904B0", 0) + strings;
  const std::size_t string_info = VersionNodeBytes("StringFileInfo", 0) + table;
  const std::size_t var_info = VersionNodeBytes("VarFileInfo", 0) + VersionNodeBytes("Translation", 4);
  return VersionNodeBytes("VS_VERSION_INFO", kFixedFileInfoBytes) + string_info + var_info;
}

std::vector<std::pair<std::string_view, std::string_view>> VersionStrings(const ReleaseVersion& version,
                                                                         const AppIdentity& identity) {
  const std::string_view exe_name = identity.exe_name;
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
  return strings;
}

std::string ExeResourceScript(const ReleaseVersion& version, const AppIdentity& identity) {
  const auto& n = version.numbers;
  const std::string numbers = Concat(std::to_string(n[0]), ",", std::to_string(n[1]), ",", std::to_string(n[2]), ",",
                                     std::to_string(n[3]));
  std::string values;
  for (const auto& [key, value] : VersionStrings(version, identity)) {
    values += Concat("      VALUE \"", key, "\", ", RcString(value), "\n");
  }
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
