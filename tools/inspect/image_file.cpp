// See image_file.h.
#include "tools/inspect/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "tools/common/unique_fd.h"

namespace lumaro::inspect {

using tools::UniqueFd;

std::expected<ByteBuffer, InspectError> ReadImageFile(const std::string& path) {
  auto fail = [&](std::string what) { return std::unexpected(InspectError{ErrorClass::kIo, std::move(what)}); };
  // Without blocking: opening a FIFO would otherwise wait for a writer.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return fail(std::string("cannot open: ") + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail(std::string("cannot read: ") + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return fail("is a folder, not an exe");
  if (!S_ISREG(st.st_mode)) return fail("is not a regular file");

  const auto size = static_cast<std::size_t>(st.st_size);
  std::optional<ByteBuffer> buffer = ByteBuffer::Allocate(size);
  if (!buffer) return std::unexpected(InspectError{ErrorClass::kOutOfMemory, "out of memory"});
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd.get(), buffer->bytes().data() + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return fail(std::string("cannot read: ") + std::strerror(errno));
    if (got == 0) break;  // shrank since fstat: inspect what is there
    done += static_cast<std::size_t>(got);
  }
  buffer->Shrink(done);
  return std::move(*buffer);
}

}  // namespace lumaro::inspect
