// The version an exe shows in its file properties: the VS_VERSIONINFO
// resource in .rsrc, its fixed FILEVERSION and its "ProductVersion" string
// (which keeps a semver suffix the numbers cannot hold).
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>

namespace lumaro::inspect {

struct ExeVersion {
  std::string text;     // "ProductVersion", as the release gave it
  std::string numbers;  // FILEVERSION as four dotted numbers
  std::string company;  // "CompanyName", UTF-8
};

// nullopt when the image has no version resource; an error (why) when it has
// one that cannot be read.
std::expected<std::optional<ExeVersion>, std::string> ReadExeVersion(std::span<const std::byte> image);

// The report's "version" value: "2.3.4-beta.1 (2.3.4.0)", "none" or
// "unreadable (why)".
std::string FormatVersion(std::span<const std::byte> image);

}  // namespace lumaro::inspect
