// Native addons (*.node) that cannot load in a Windows x64 node.exe: a
// node_modules installed on Linux or macOS carries addons built for that
// system, and the app then fails at its first require on every user's machine.
// Packing goes on (packages that ship prebuilt addons for every system are
// common); the pack tool names each one.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pack/app_folder.h"

namespace lumaro::pack {

// Whether an archive name is a native addon: its leaf ends in ".node", in any
// letter case.
bool IsNativeAddonName(std::string_view name);

// What the file's first bytes say it is, when that is not a PE image for
// x86-64: "ELF (Linux)", "Mach-O (macOS)", "PE for ARM64", "not an
// executable", ... nullopt for a PE x86-64 image. head is the file's start;
// 4 KiB holds the PE header of every linker's output.
std::optional<std::string> ForeignAddonKind(std::span<const std::byte> head);

inline constexpr std::size_t kAddonHeadSize = 4096;

struct ForeignAddon {
  std::string name;  // archive name
  std::string kind;  // what ForeignAddonKind says
};

// Every addon among the folder's files that is not for Windows x64, in the
// files' order. A file that is no longer the one the scan saw is an error.
std::expected<std::vector<ForeignAddon>, PackError> FindForeignAddons(const AppFolder& folder);

}  // namespace lumaro::pack
