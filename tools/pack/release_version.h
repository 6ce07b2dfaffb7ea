// The release's version as the exe carries it in its version resource: one to
// four numbers of 0-65535 for FILEVERSION/PRODUCTVERSION, and the text as
// given (a semver suffix included) for the "FileVersion"/"ProductVersion"
// strings. Given on the command line, or taken from the app's package.json.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "tools/pack/pack_error.h"
#include "tools/pack/package_json.h"

namespace lumaro::pack {

struct ReleaseVersion {
  std::array<std::uint16_t, 4> numbers{};  // missing parts are 0
  std::string text;                        // as given
};

// What an exe says when neither --version nor package.json gives one.
inline constexpr std::string_view kNoVersion = "0.0.0";

// A semver suffix may be long, but it goes into two version strings of the
// exe, whose resource has 16-bit lengths.
inline constexpr std::size_t kMaxVersionCharacters = 64;

// "2.3.4", "1.5.0-beta.2", "7+build.5". Anything else is refused with why,
// as what follows "it" ("has a number over 65535").
std::expected<ReleaseVersion, std::string> ParseReleaseVersion(std::string_view text);

enum class VersionSource { kFlag, kPackageJson };

// The refusal of a version, naming it, where it came from and what to give.
std::string VersionRefusal(std::string_view text, VersionSource source, std::string_view problem);

// "2.3.4.0": the numbers as Windows shows them.
std::string NumericVersion(const ReleaseVersion& version);

// The "version" string of package.json; nullopt when the file is absent or
// has no "version". A "version" that is not a string is bad input naming the
// file.
std::expected<std::optional<std::string>, PackError> PackageJsonVersion(const PackageJson& package_json);

}  // namespace lumaro::pack
