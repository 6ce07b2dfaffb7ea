// The exe's identity, set when it is packed: the names Windows shows for it
// (version strings, icon) and the names the launcher runs under (data
// folder, mutex, window title, the dialog's product name). Each comes from a
// flag, else from package.json, else from a default that gives Lumaro's own
// values when nothing is set. Every value is checked before anything is built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "package/identity_block.h"
#include "tools/pack/icon_file.h"
#include "tools/pack/pack_error.h"
#include "tools/pack/package_json.h"
#include "tools/pack/release_version.h"

namespace CLI {
class App;
}  // namespace CLI

namespace lumaro::pack {

struct AppFolder;

inline constexpr std::string_view kLumaroProductName = "Lumaro";
inline constexpr std::string_view kLumaroWindowTitle = "Lumaro · Máy nhà";
inline constexpr std::string_view kLumaroMutexName = "Local\\Lumaro.Desktop.2026";

inline constexpr std::size_t kMaxTextCharacters = 256;
inline constexpr std::size_t kMaxDataFolderCharacters = 64;
inline constexpr std::size_t kMaxMutexNameCharacters = 256;

// VS_VERSIONINFO's lengths are 16-bit.
inline constexpr std::size_t kMaxVersionResourceBytes = 65535;

// What the vendor set; nullopt where nothing was.
struct IdentitySettings {
  std::optional<std::string> product_name;
  std::optional<std::string> company;
  std::optional<std::string> description;
  std::optional<std::string> copyright;
  std::optional<std::string> icon;  // a path; package.json's names a file of the app folder
  std::optional<std::string> data_folder;
  std::optional<std::string> window_title;
  std::optional<std::string> mutex_name;
  bool company_from_author = false;  // package.json's company is its "author"
};

struct AppIdentity {
  std::string product_name;
  std::string company;
  std::string description;
  std::optional<std::string> copyright;  // none by default
  std::vector<std::byte> icon;           // the .ico the exe carries, checked
  std::string data_folder;
  std::string window_title;
  std::string mutex_name;
  std::string exe_name;  // InternalName (without ".exe") and OriginalFilename

  package::IdentityFields Fields() const { return {product_name, data_folder, mutex_name, window_title}; }
};

// Why each kind of value cannot be used, naming it; nullopt when it can.
std::optional<std::string> TextProblem(std::string_view text);
std::optional<std::string> DataFolderProblem(std::string_view name);
std::optional<std::string> MutexNameProblem(std::string_view name);

// The single-instance guard of a data folder: "Local\" + the folder's name
// as Windows compares folder names (uppercase) + ".Desktop", so every
// spelling of one folder gets one guard; Lumaro's own for Lumaro's folder.
std::string DerivedMutexName(std::string_view data_folder);

// The identity fields of package.json: "productName", "description",
// "lumaro": {"company", "copyright", "icon", "dataFolder", "windowTitle",
// "mutexName"}, and "author" (a string, or its "name") for the company.
std::expected<IdentitySettings, PackError> PackageJsonIdentity(const PackageJson& package_json);

// Flags over package.json over the defaults, every value checked and the icon
// read. A bad flag is a usage error, a bad package.json value or icon file
// bad input; each message names the value. package.json's icon is read from
// the scanned folder, like every other file of the app, and one it does not
// hold is refused; folder may be null only when package.json sets no icon.
std::expected<AppIdentity, PackError> ResolveIdentity(const IdentitySettings& flags,
                                                      const IdentitySettings& package_json,
                                                      const AppFolder* folder);

// The command line's part: the settings, the exe's file name and where the
// chosen icon goes for the link.
struct IdentityOptions {
  IdentitySettings settings;
  std::optional<std::string> exe_name;
  std::optional<std::string> icon_out;
};

// --product-name, --company, --description, --copyright, --icon,
// --data-folder, --window-title, --mutex-name, --exe-name; --icon-out in
// outputs_group.
void DefineIdentityOptions(CLI::App& app, IdentityOptions& options, const std::string& outputs_group);

// package.json's settings under the command line's, resolved and checked;
// the exe's name defaults to the product name and ".exe".
std::expected<AppIdentity, PackError> ChooseIdentity(const IdentityOptions& options, const PackageJson& package_json,
                                                     const AppFolder& folder);

// The icon (to --icon-out) and the resource script (to version_rc), each
// written only when it changes.
std::expected<void, PackError> WriteIdentityOutputs(const IdentityOptions& options, const AppIdentity& identity,
                                                    const ReleaseVersion& version,
                                                    const std::optional<std::string>& version_rc);

// The version resource's strings, by key, as the exe carries them.
std::vector<std::pair<std::string_view, std::string_view>> VersionStrings(const ReleaseVersion& version,
                                                                         const AppIdentity& identity);

// The bytes of the compiled version resource (VS_VERSIONINFO and its children).
std::size_t VersionResourceBytes(const ReleaseVersion& version, const AppIdentity& identity);

// Lumaro's own identity: what an exe packed with no setting carries.
AppIdentity LumaroIdentity();

// Lumaro's icon, compiled into the pack tool.
std::span<const std::byte> LumaroIcon();

// The exe's own resource script: its icon, named "icon.ico" (the link puts
// the chosen icon there), and its version information.
std::string ExeResourceScript(const ReleaseVersion& version, const AppIdentity& identity);

}  // namespace lumaro::pack
