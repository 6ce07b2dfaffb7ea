// Test tool: decodes the record inside a launcher exe with our own LZMS
// decoder, the one the stand-in cabinet.dll runs, so a test can tell ahead of
// a launch whether a damaged stream still decodes.
//   lmr-lzms-decode IN.exe|IN.bin OUT.archive
// Exit 0 decoded (OUT written), 1 the decoder refused, 2 usage or no record.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <span>
#include <vector>

#include "compat/lzms/buffer_header.h"
#include "compat/lzms/lzms_decoder.h"
#include "platform/byte_order.h"
#include "tests/tools/find_record.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: lmr-lzms-decode IN OUT\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), {});
  std::string why;
  const auto record = lumaro::test_tools::FindRecord(file, why);
  if (!record) {
    std::fprintf(stderr, "lmr-lzms-decode: %s\n", why.c_str());
    return 2;
  }
  const auto stream = std::as_bytes(std::span(file)).subspan(*record + lumaro::package::kRecordHeadSize);
  const auto header = lzms::ParseBufferHeader(stream);
  if (!header || header->total_size > (std::uint64_t{1} << 32)) {
    std::fprintf(stderr, "lmr-lzms-decode: bad stream header\n");
    return 1;
  }
  // The record's stream runs to the end of its last chunk record; the
  // decoder wants exactly that much.
  std::size_t length = lzms::kBufferHeaderSize;
  for (std::uint64_t done = 0; done < header->total_size;) {
    if (length + lzms::kChunkRecordHeadSize > stream.size()) return 1;
    length += lzms::kChunkRecordHeadSize + std::size_t{lumaro::platform::LoadLe32(stream.data() + length)};
    done += std::min<std::uint64_t>(header->chunk_size, header->total_size - done);
  }
  if (length > stream.size()) return 1;
  std::vector<std::byte> out(header->total_size);
  const auto result = lzms::DecompressBuffer(stream.first(length), out);
  if (result.status != lzms::DecodeStatus::kOk || result.produced != out.size()) {
    std::fprintf(stderr, "lmr-lzms-decode: the decoder refused the stream\n");
    return 1;
  }
  std::ofstream(argv[2], std::ios::binary).write(reinterpret_cast<const char*>(out.data()),
                                                 static_cast<std::streamsize>(out.size()));
  return 0;
}
