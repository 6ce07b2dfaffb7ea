// The chunk cache's folder and entries; see chunk_cache.h. An entry file is
// "LMRCHNK1", the key, a kind byte (0 compressed, 1 verbatim), the payload's
// u32 length and the payload, then the SHA-256 of all that, which catches
// damage our decode check cannot see (a kind byte flipped to verbatim).
#include "tools/pack/chunk_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wimlib.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string_view>

#include "compat/lzms/lzms_decoder.h"
#include "platform/byte_order.h"
#include "tools/common/unique_fd.h"

namespace lumaro::pack {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kMagic = "LMRCHNK1";
constexpr std::size_t kKindOffset = kMagic.size() + 32;
constexpr std::size_t kLengthOffset = kKindOffset + 1;
constexpr std::size_t kHeadSize = kLengthOffset + 4;
constexpr std::size_t kDigestSize = 32;
constexpr std::byte kCompressed{0};
constexpr std::byte kVerbatim{1};

// Chunks compressed by another wimlib may differ: its version is part of the key.
std::string CompressorVersion() {
  const std::uint32_t version = wimlib_get_version();
  return "wimlib " + std::to_string(version >> 20) + "." + std::to_string((version >> 10) & 0x3FF) + "." +
         std::to_string(version & 0x3FF);
}

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// SHA-256 over the parts in turn; the digest functions only fail when the
// library itself is broken.
std::array<unsigned char, kDigestSize> Sha256(std::initializer_list<std::span<const std::byte>> parts) {
  std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) std::abort();
  for (const auto part : parts) {
    if (EVP_DigestUpdate(context.get(), part.data(), part.size()) != 1) std::abort();
  }
  std::array<unsigned char, kDigestSize> digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) std::abort();
  return digest;
}

std::span<const std::byte> Bytes(std::string_view text) { return std::as_bytes(std::span(text.data(), text.size())); }

// Reads at most limit bytes of the file at path, not following a link; nullopt
// when it is no regular file, cannot be read or is longer.
std::optional<std::vector<std::byte>> ReadSmallFile(const fs::path& path, std::size_t limit, tools::UniqueFd& fd) {
  fd.Reset(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info {};
  if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::uint64_t>(info.st_size) > limit) {
    return std::nullopt;
  }
  std::vector<std::byte> bytes(static_cast<std::size_t>(info.st_size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    done += static_cast<std::size_t>(got);
  }
  return bytes;
}

bool WriteAll(int fd, std::span<const std::byte> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

bool IsEntryName(const std::string& name) {
  return name.size() == 2 * kDigestSize &&
         std::all_of(name.begin(), name.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

std::optional<fs::path> ChunkCache::DefaultFolder() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg && *xdg == '/') return fs::path(xdg) / "lumaro" / "chunks";
  const char* home = std::getenv("HOME");
  if (home && *home == '/') return fs::path(home) / ".cache" / "lumaro" / "chunks";
  return std::nullopt;
}

std::expected<ChunkCache, std::string> ChunkCache::Open(const fs::path& folder) {
  std::error_code ec;
  if (folder.has_parent_path()) fs::create_directories(folder.parent_path(), ec);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return std::unexpected("cannot create it: " + std::string(std::strerror(errno)));
  }
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) return std::unexpected(std::string(std::strerror(errno)));
  if (!S_ISDIR(info.st_mode)) return std::unexpected("not a folder");
  if (info.st_uid != ::geteuid()) return std::unexpected("owned by another user");
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return std::unexpected("writable by other users");
  return ChunkCache(folder);
}

ChunkCache::Key ChunkCache::KeyOf(std::span<const std::byte> chunk, const ChunkSettings& settings) {
  const std::string prefix = "lumaro chunk\n" + CompressorVersion() + "\nlzms level " + std::to_string(settings.level) +
                             " window " + std::to_string(settings.window) + "\n";
  return Sha256({Bytes(prefix), chunk});
}

fs::path ChunkCache::EntryPath(const Key& key) const {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string name;
  for (const unsigned char byte : key) {
    name += kDigits[byte >> 4];
    name += kDigits[byte & 0xF];
  }
  return folder_ / name;
}

std::optional<std::vector<std::byte>> ChunkCache::Find(const Key& key, std::span<const std::byte> chunk) const {
  tools::UniqueFd fd;
  auto entry = ReadSmallFile(EntryPath(key), kHeadSize + chunk.size() + kDigestSize, fd);
  if (!entry || entry->size() < kHeadSize + kDigestSize) return std::nullopt;
  const std::span<const std::byte> bytes(*entry);
  const std::size_t length = platform::LoadLe32(bytes.data() + kLengthOffset);
  if (bytes.size() != kHeadSize + length + kDigestSize ||
      std::memcmp(bytes.data(), kMagic.data(), kMagic.size()) != 0 ||
      std::memcmp(bytes.data() + kMagic.size(), key.data(), key.size()) != 0) {
    return std::nullopt;
  }
  const auto digest = Sha256({bytes.first(kHeadSize + length)});
  if (std::memcmp(digest.data(), bytes.data() + kHeadSize + length, digest.size()) != 0) return std::nullopt;
  const std::byte kind = bytes[kKindOffset];
  const auto payload = bytes.subspan(kHeadSize, length);
  if (kind == kVerbatim) {
    if (length != 0) return std::nullopt;
  } else {
    // A compressed chunk is strictly smaller, and must give back the chunk.
    if (kind != kCompressed || length == 0 || length >= chunk.size()) return std::nullopt;
    std::vector<std::byte> decoded(chunk.size());
    if (lzms::DecodeChunk(payload, decoded) != lzms::DecodeStatus::kOk ||
        std::memcmp(decoded.data(), chunk.data(), chunk.size()) != 0) {
      return std::nullopt;
    }
  }
  ::futimens(fd.get(), nullptr);  // recently used: the last to be pruned
  return std::vector<std::byte>(payload.begin(), payload.end());
}

void ChunkCache::Store(const Key& key, std::span<const std::byte> payload) const {
  std::vector<std::byte> entry(kHeadSize);
  std::memcpy(entry.data(), kMagic.data(), kMagic.size());
  std::memcpy(entry.data() + kMagic.size(), key.data(), key.size());
  entry[kKindOffset] = payload.empty() ? kVerbatim : kCompressed;
  platform::StoreLe32(entry.data() + kLengthOffset, static_cast<std::uint32_t>(payload.size()));
  entry.insert(entry.end(), payload.begin(), payload.end());
  const auto digest = Sha256({entry});
  entry.insert(entry.end(), reinterpret_cast<const std::byte*>(digest.data()),
               reinterpret_cast<const std::byte*>(digest.data() + digest.size()));

  std::string temp = (folder_ / "tmp-XXXXXX").native();
  tools::UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.valid()) return;
  const bool written = WriteAll(fd.get(), entry);
  if (fd.Close() != 0 || !written || ::rename(temp.c_str(), EntryPath(key).c_str()) != 0) ::unlink(temp.c_str());
}

void ChunkCache::Prune(std::uint64_t limit) const {
  struct Held {
    fs::path path;
    std::uint64_t size;
    fs::file_time_type used;
  };
  std::vector<Held> held;
  std::uint64_t total = 0;
  std::error_code ec;
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().native();
    std::error_code entry_ec;
    if (!it->is_regular_file(entry_ec) || (!IsEntryName(name) && !name.starts_with("tmp-"))) continue;
    const std::uint64_t size = it->file_size(entry_ec);
    const auto used = it->last_write_time(entry_ec);
    if (entry_ec) continue;
    held.push_back({it->path(), size, used});
    total += size;
  }
  if (total <= limit) return;
  std::sort(held.begin(), held.end(), [](const Held& a, const Held& b) { return a.used < b.used; });
  for (const Held& entry : held) {
    if (total <= limit) break;
    if (fs::remove(entry.path, ec)) total -= entry.size;
  }
}

}  // namespace lumaro::pack
