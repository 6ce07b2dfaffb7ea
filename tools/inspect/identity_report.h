// The exe's identity as the inspector reports it: the launcher's own names
// from the identity block the pack tool generated beside the constants
// (package/identity_block.h), and the company from the version resource.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>

#include "package/identity_block.h"
#include "tools/inspect/payload_locator.h"

namespace lumaro::inspect {

// The one identity block outside the payload record's stream, viewing into
// the image; nullopt when there is none (an exe packed before identities),
// an error when there are several.
std::expected<std::optional<package::IdentityFields>, std::string> FindIdentity(std::span<const std::byte> image,
                                                                                const PayloadLocation& where);

// "product", "company", "data-folder", "mutex-name" and "window-title" lines,
// or one "identity: none" (or "identity: unreadable (why)") line.
std::string FormatIdentity(std::span<const std::byte> image, const PayloadLocation& where);

}  // namespace lumaro::inspect
