// A whole file as lmr-inspect takes it: PE headers and section table, the
// payload search, the payload check (a package size the fuzzer cannot make
// huge), the version resource and the identity block.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "tools/inspect/identity_report.h"
#include "tools/inspect/payload_check.h"
#include "tools/inspect/pe_sections.h"
#include "tools/inspect/report.h"
#include "tools/inspect/version_resource.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumaro::inspect;
  const std::span<const std::byte> image(reinterpret_cast<const std::byte*>(data), size);
  const auto sections = ReadSections(image);
  if (!sections) return 0;
  for (const Section& section : *sections) {
    if (section.offset > size || section.size > size - section.offset) std::abort();
  }
  (void)FormatVersion(image);
  const auto inspection = InspectImage(image, InspectOptions{.max_package_size = 1 << 20});
  if (!inspection) return 0;
  (void)FormatReport(*inspection, true, "", FormatIdentity(image, FindIdentity(image, inspection->where)));
  return 0;
}
