// Just enough of the PE format to know where a launcher's sections lie in
// the file: the record and the constants are searched for in those ranges,
// not in headers or anything appended after the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "tools/inspect/inspect_error.h"

namespace lumaro::inspect {

struct Section {
  std::string name;     // printable form of the 8-byte header name
  std::size_t offset;   // file offset of the section's data
  std::size_t size;     // bytes of data the loader maps (padding excluded)
  std::uint32_t virtual_address = 0;  // where the loader maps it (RVA)
};

// The sections of a PE32+ image that have data in the file, in table order.
// A file that is not a PE32+ image, or whose section data runs past its end
// (a truncated exe), is a kNotLauncher error.
std::expected<std::vector<Section>, InspectError> ReadSections(std::span<const std::byte> image);

}  // namespace lumaro::inspect
