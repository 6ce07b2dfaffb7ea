// The decoded package archive as a list of files, read with the launcher's
// own cursor and name rules, plus what the launcher would only find out
// while writing: two entries for one path, or a file where a folder must be.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lumaro::inspect {

struct PackageEntry {
  std::string_view name;            // as stored, borrowed from the archive
  std::span<const std::byte> data;  // borrowed from the archive
};

// The components a name stands for: "/" and "\" both separate, empty and
// "." components are dropped (the name has passed IsAcceptedEntryName).
std::vector<std::string_view> PathComponents(std::string_view name);

// Every entry of the archive, or why the launcher would not install it
// (naming the entry). Checks the whole archive before returning anything.
std::expected<std::vector<PackageEntry>, std::string> ReadPackageEntries(std::span<const std::byte> archive);

}  // namespace lumaro::inspect
