// Test tool: finds the payload record in a launcher exe and decodes its
// stream with wimlib's LZMS decompressor, an oracle independent of our own
// decoder. Writes the package archive; prints the stream's length.
//   lmr-wimlib-decode IN.exe OUT.archive
#include <wimlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "compat/lzms/buffer_header.h"
#include "platform/byte_order.h"
#include "tools/inspect/image_file.h"
#include "tools/inspect/payload_locator.h"

namespace {

int Fail(const std::string& why) {
  std::fprintf(stderr, "lmr-wimlib-decode: %s\n", why.c_str());
  return 1;
}

struct DecompressorDeleter {
  void operator()(wimlib_decompressor* decompressor) const { wimlib_free_decompressor(decompressor); }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return Fail("usage: lmr-wimlib-decode IN OUT");
  const auto image = lumaro::inspect::ReadImageFile(argv[1]);
  const auto where = image ? lumaro::inspect::LocatePayload(image->bytes())
                           : std::unexpected(image.error());
  if (!where) return Fail(where.error().message);
  // The walk has checked every chunk record against the stream's bounds.
  const lumaro::inspect::StreamWalk& walk = where->stream;
  if (!walk.complete()) return Fail(walk.problem);
  if (where->record_size != walk.total_size) return Fail("the record's size is not the stream's");

  std::vector<unsigned char> out(walk.total_size);
  wimlib_decompressor* raw = nullptr;
  if (walk.total_size != 0 && wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS, walk.chunk_size, &raw) != 0) {
    return Fail("wimlib_create_decompressor");
  }
  const std::unique_ptr<wimlib_decompressor, DecompressorDeleter> decompressor(raw);
  const auto* s = reinterpret_cast<const unsigned char*>(where->stream_area.data());
  std::size_t at = lzms::kBufferHeaderSize;
  for (std::uint64_t done = 0; done < walk.total_size;) {
    const std::size_t size = lumaro::platform::LoadLe32(s + at);
    at += lzms::kChunkRecordHeadSize;
    const std::size_t want = std::min<std::uint64_t>(walk.chunk_size, walk.total_size - done);
    if (size == want) {
      std::memcpy(&out[done], s + at, size);
    } else if (wimlib_decompress(s + at, size, &out[done], want, decompressor.get()) != 0) {
      return Fail("wimlib_decompress");
    }
    at += size;
    done += want;
  }
  std::ofstream(argv[2], std::ios::binary).write(reinterpret_cast<const char*>(out.data()),
                                                 static_cast<std::streamsize>(out.size()));
  std::printf("%zu\n", at);
  return 0;
}
