// Finds the payload record and the constants block in a launcher image by
// their layouts alone (package/payload_format.h): exactly one record ("LMR1",
// a u32, 16 hex digits, then an LZMS buffer header) outside the streams of
// others, and exactly one block tagged "LMRC" outside it. Nothing is decoded
// here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "tools/inspect/inspect_error.h"
#include "tools/inspect/pe_sections.h"
#include "tools/inspect/stream_walk.h"

namespace lumaro::inspect {

struct PayloadLocation {
  std::size_t record_offset = 0;  // file offset of "LMR1"
  std::string record_section;
  std::string build_id;           // the 16 hex digits as stored
  std::uint32_t record_size = 0;  // the record's own size field
  // From the stream's first byte to the end of the record's section: all
  // the stream may occupy.
  std::span<const std::byte> stream_area;
  StreamWalk stream;

  std::size_t constants_offset = 0;
  std::string constants_section;
  std::uint32_t package_size = 0;     // PACKAGE_SIZE
  std::uint32_t compressed_size = 0;  // COMPRESSED_SIZE
  std::uint32_t package_crc32 = 0;    // PACKAGE_CRC32
};

// Searches the sections' data. The constants block chosen is the one whose
// sizes agree with the record (PACKAGE_SIZE = the size field, the stream it
// claims inside the record's section and clear of the block); failing that,
// the only tagged block outside the walked stream, so that disagreeing sizes
// are reported as such rather than as a missing block. kNotLauncher when
// either cannot be found, or is not the only one.
std::expected<PayloadLocation, InspectError> LocatePayload(std::span<const std::byte> image,
                                                           std::span<const Section> sections);

// The same in the sections ReadSections finds in image.
std::expected<PayloadLocation, InspectError> LocatePayload(std::span<const std::byte> image);

}  // namespace lumaro::inspect
