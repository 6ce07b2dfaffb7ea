// Everything the inspector knows about one launcher image: where the payload
// is, its sizes, and whether it is intact as the launcher would judge it
// (sizes agree, the stream decodes to PACKAGE_SIZE bytes with PACKAGE_CRC32,
// the archive parses with the launcher's rules). Extraction starts from here.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/inspect/byte_buffer.h"
#include "tools/inspect/inspect_error.h"
#include "tools/inspect/package_entries.h"
#include "tools/inspect/payload_locator.h"

namespace lumaro::inspect {

struct InspectOptions {
  // A package larger than this is not decoded (damage); PACKAGE_SIZE is a
  // u32, so the default never refuses. The fuzzer lowers it.
  std::uint64_t max_package_size = UINT32_MAX;
};

struct Inspection {
  PayloadLocation where;                // borrows from the image
  std::vector<std::string> mismatches;  // sizes that disagree, one line each
  std::optional<std::string> damage;    // why the payload is not intact
  ByteBuffer package;                   // the decoded archive, when it decoded
  std::optional<std::vector<PackageEntry>> entries;  // when the archive parsed; borrow from package
  std::uint64_t total_bytes = 0;        // sum of the entries' sizes

  bool intact() const { return !damage.has_value(); }
};

// Locates and checks the payload. An image with no single record and
// constants block is an error (kNotLauncher); a found but damaged payload
// is an Inspection with damage set. The image must outlive the result.
std::expected<Inspection, InspectError> InspectImage(std::span<const std::byte> image,
                                                     const InspectOptions& options = {});

}  // namespace lumaro::inspect
