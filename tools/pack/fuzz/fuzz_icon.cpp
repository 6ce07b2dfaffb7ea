// The .ico check every icon passes before it goes into an exe: any bytes
// get a verdict, and no read strays outside them.
#include <cstddef>
#include <cstdint>
#include <span>

#include "tools/pack/app_identity.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)lumaro::pack::IconProblem(std::span(reinterpret_cast<const std::byte*>(data), size));
  return 0;
}
