// The identity block: its reader on any bytes (whatever it accepts, the
// writer gives back byte for byte), and the inspector's lookup of it beside
// the constants of a launcher whose .rdata holds these bytes between the
// record and the constants.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "package/identity_block.h"
#include "tools/inspect/fuzz/fuzz_inputs.h"
#include "tools/inspect/identity_report.h"
#include "tools/inspect/payload_locator.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumaro;
  const auto* bytes = reinterpret_cast<const std::byte*>(data);
  if (const auto fields = package::ParseIdentityBlock({bytes, size})) {
    const auto block = package::MakeIdentityBlock(*fields);
    if (block.size() > size || std::memcmp(block.data(), data, block.size()) != 0) std::abort();
  }
  const auto image = inspect::fuzzing::LauncherAround(inspect::fuzzing::Bytes(bytes, bytes + size));
  // Located, not decoded: the payload check has a target of its own.
  const auto where = inspect::LocatePayload(image);
  if (!where) return 0;
  (void)inspect::FormatIdentity(image, inspect::FindIdentity(image, *where));
  return 0;
}
