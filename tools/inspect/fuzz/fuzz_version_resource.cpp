// The version resource reader on a .rsrc section of any bytes: the resource
// directory (type, name, language, data entry) and the VS_VERSIONINFO block
// tree under it.
#include <cstddef>
#include <cstdint>

#include "tools/inspect/fuzz/fuzz_inputs.h"
#include "tools/inspect/version_resource.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumaro::inspect;
  const auto* bytes = reinterpret_cast<const std::byte*>(data);
  const fuzzing::Bytes image = fuzzing::ResourceImage(fuzzing::Bytes(bytes, bytes + size));
  (void)FormatVersion(image);
  return 0;
}
