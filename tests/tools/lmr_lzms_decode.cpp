// Test tool: decodes the record inside a launcher exe with our own LZMS
// decoder, the one the stand-in cabinet.dll runs, so a test can tell ahead of
// a launch whether a damaged stream still decodes.
//   lmr-lzms-decode IN.exe OUT.archive
// Exit 0 decoded (OUT written), 1 the decoder refused, 2 usage or no record.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

#include "compat/lzms/lzms_decoder.h"
#include "tools/inspect/image_file.h"
#include "tools/inspect/payload_locator.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: lmr-lzms-decode IN OUT\n");
    return 2;
  }
  const auto image = lumaro::inspect::ReadImageFile(argv[1]);
  const auto where = image ? lumaro::inspect::LocatePayload(image->bytes())
                           : std::unexpected(image.error());
  if (!where) {
    std::fprintf(stderr, "lmr-lzms-decode: %s\n", where.error().message.c_str());
    return 2;
  }
  if (!where->stream.complete() || where->stream.total_size > (std::uint64_t{1} << 32)) {
    std::fprintf(stderr, "lmr-lzms-decode: %s\n", where->stream.problem.c_str());
    return 1;
  }
  // The decoder wants exactly the stream: to the end of its last chunk record.
  std::vector<std::byte> out(where->stream.total_size);
  const auto result = lzms::DecompressBuffer(where->stream_area.first(where->stream.length), out);
  if (result.status != lzms::DecodeStatus::kOk || result.produced != out.size()) {
    std::fprintf(stderr, "lmr-lzms-decode: the decoder refused the stream\n");
    return 1;
  }
  std::ofstream(argv[2], std::ios::binary).write(reinterpret_cast<const char*>(out.data()),
                                                 static_cast<std::streamsize>(out.size()));
  return 0;
}
