// Test tool: finds the payload record in a launcher exe (or takes a bare
// record) and decodes its stream with wimlib's LZMS decompressor, an oracle
// independent of our own decoder. Writes the package archive.
//   lmr-wimlib-decode IN.exe|IN.bin OUT.archive
#include <wimlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/tools/find_record.h"

namespace {

using lumaro::platform::LoadLe16;
using lumaro::platform::LoadLe32;
using lumaro::platform::LoadLe64;

int Fail(const char* why) {
  std::fprintf(stderr, "lmr-wimlib-decode: %s\n", why);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return Fail("usage: lmr-wimlib-decode IN OUT");
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), {});

  std::string why;
  const auto found = lumaro::test_tools::FindRecord(file, why);
  if (!found) return Fail(why.c_str());
  const std::size_t record = *found;
  const unsigned char* s = &file[record + lumaro::package::kRecordHeadSize];
  const std::size_t available = file.size() - record - lumaro::package::kRecordHeadSize;
  if (available < lzms::kBufferHeaderSize) return Fail("truncated header");
  const std::uint64_t total = LoadLe64(s + lzms::kTotalSizeOffset);
  const std::uint64_t chunk = LoadLe32(s + lzms::kChunkSizeOffset);
  if (LoadLe16(s + lzms::kHeaderSizeOffset) != lzms::kBufferHeaderSize || s[lzms::kAlgorithmOffset] != lzms::kAlgorithmLzms ||
      LoadLe32(&file[record + lumaro::package::kRecordSizeOffset]) != total) {
    return Fail("bad header");
  }

  std::vector<unsigned char> out(total);
  wimlib_decompressor* decompressor = nullptr;
  if (total != 0 && wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS,
                                               static_cast<size_t>(chunk), &decompressor) != 0) {
    return Fail("wimlib_create_decompressor");
  }
  std::size_t at = lzms::kBufferHeaderSize;
  for (std::uint64_t done = 0; done < total;) {
    if (at + lzms::kChunkRecordHeadSize > available) return Fail("truncated chunk record");
    const std::uint64_t size = LoadLe32(s + at);
    at += lzms::kChunkRecordHeadSize;
    const std::uint64_t want = std::min<std::uint64_t>(chunk, total - done);
    if (at + size > available) return Fail("truncated chunk");
    if (size == want) {
      std::memcpy(&out[done], s + at, size);
    } else if (wimlib_decompress(s + at, size, &out[done], want, decompressor) != 0) {
      return Fail("wimlib_decompress");
    }
    at += size;
    done += want;
  }
  wimlib_free_decompressor(decompressor);
  std::ofstream(argv[2], std::ios::binary).write(reinterpret_cast<const char*>(out.data()),
                                                 static_cast<std::streamsize>(out.size()));
  std::printf("%llu\n", static_cast<unsigned long long>(at));
  return 0;
}
