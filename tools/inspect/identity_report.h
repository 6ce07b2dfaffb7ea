// The exe's identity as the inspector reports it: the launcher's own names
// from the identity block the pack tool generated beside the constants
// (package/identity_block.h), and the company from the version resource.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>

#include "package/identity_block.h"
#include "tools/inspect/payload_locator.h"

namespace lumaro::inspect {

// The identity block where the link puts it: the pack tool generates it in
// one translation unit with the constants block, so it lies right before or
// right after that block in its section, with at most kIdentityGapLimit bytes
// of alignment (and the block's size word) between. Tagged bytes anywhere
// else (an icon, a string, the record's stream) are not looked at. An error
// (why) when no block lies there, or more than one: the launcher would not
// run on either.
inline constexpr std::size_t kIdentityGapLimit = 64;
std::expected<package::IdentityFields, std::string> FindIdentity(std::span<const std::byte> image,
                                                                 const PayloadLocation& where);

// "product", "company", "data-folder", "mutex-name" and "window-title" lines,
// or one "identity: unreadable (why)" line.
std::string FormatIdentity(std::span<const std::byte> image,
                           const std::expected<package::IdentityFields, std::string>& identity);

}  // namespace lumaro::inspect
