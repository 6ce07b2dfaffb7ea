// The install's flush policy modelled on this machine's disk: the same file
// set written three ways, per-file cost of each. "fsync" is a full flush per
// file (FlushFileBuffers, as under Wine or without NtFlushBuffersFileEx);
// "writeout" starts each file's write-out without waiting for the device
// (sync_file_range(SYNC_FILE_RANGE_WRITE), the closest Linux model of
// FLUSH_FLAGS_NO_SYNC) and ends with one syncfs; "none" flushes nothing.
//   lmr-flush-model-bench DEST_DIR (--files N --size BYTES | --from DIR) [--runs R]
// DEST_DIR must exist; each run writes into a new folder below it, removed
// afterwards. The modes alternate run by run, each run after a sync() so no
// run pays for an earlier one's writeback. Prints medians per mode.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;

enum class Mode { kFsync, kWriteOut, kNone };
constexpr Mode kModes[] = {Mode::kFsync, Mode::kWriteOut, Mode::kNone};

const char* Name(Mode mode) {
  switch (mode) {
    case Mode::kFsync: return "fsync per file";
    case Mode::kWriteOut: return "write-out per file + one syncfs";
    case Mode::kNone: return "no flush";
  }
  return "?";
}

struct Entry {
  std::string name;  // relative, "/"-separated
  std::string data;
};

std::vector<Entry> Generated(std::size_t files, std::size_t size) {
  // Folders of 100, as the Wine benchmarks' generated packages.
  std::vector<Entry> out;
  for (std::size_t i = 0; i < files; ++i) {
    char name[64];  // snprintf: GCC 12 misreads chained string concatenation as overlap
    std::snprintf(name, sizeof(name), "d%zu/f%zu.js", i / 100, i);
    out.push_back({name, std::string(size, static_cast<char>('a' + i % 26))});
  }
  return out;
}

std::vector<Entry> FromFolder(const fs::path& root) {
  std::vector<Entry> out;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (!item.is_regular_file()) continue;
    std::ifstream in(item.path(), std::ios::binary);
    out.push_back({fs::relative(item.path(), root).generic_string(),
                   std::string(std::istreambuf_iterator<char>(in), {})});
  }
  std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return out;
}

bool Fail(const char* what, const std::string& path) {
  std::fprintf(stderr, "%s %s: %s\n", what, path.c_str(), std::strerror(errno));
  return false;
}

// Writes every entry below dir the given way; the folders are made as the
// launcher makes them, on the way.
bool WriteAll(const fs::path& dir, const std::vector<Entry>& entries, Mode mode) {
  std::string made;
  for (const Entry& e : entries) {
    const fs::path target = dir / e.name;
    const std::string parent = target.parent_path().string();
    if (parent != made) {
      fs::create_directories(parent);
      made = parent;
    }
    const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return Fail("open", target);
    std::string_view rest = e.data;
    while (!rest.empty()) {
      const ssize_t n = write(fd, rest.data(), rest.size());
      if (n <= 0) return Fail("write", target);
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    if (mode == Mode::kFsync && fsync(fd) != 0) return Fail("fsync", target);
    if (mode == Mode::kWriteOut && sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE) != 0) {
      return Fail("sync_file_range", target);
    }
    close(fd);
  }
  if (mode == Mode::kWriteOut) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || syncfs(fd) != 0) return Fail("syncfs", dir);
    close(fd);
  }
  return true;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

int Usage() {
  std::fprintf(stderr,
               "usage: lmr-flush-model-bench DEST_DIR (--files N --size BYTES | --from DIR) [--runs R]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const fs::path dest = argv[1];
  std::size_t files = 0, size = 1024;
  int runs = 5;
  fs::path from;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    if (flag == "--files") files = std::strtoul(argv[i + 1], nullptr, 10);
    else if (flag == "--size") size = std::strtoul(argv[i + 1], nullptr, 10);
    else if (flag == "--runs") runs = std::atoi(argv[i + 1]);
    else if (flag == "--from") from = argv[i + 1];
    else return Usage();
  }
  const std::vector<Entry> entries = from.empty() ? Generated(files, size) : FromFolder(from);
  if (entries.empty() || runs < 1 || !fs::is_directory(dest)) return Usage();
  std::size_t bytes = 0;
  for (const Entry& e : entries) bytes += e.data.size();
  std::printf("%zu files, %zu bytes, %d runs per mode, into %s\n", entries.size(), bytes, runs,
              dest.c_str());

  std::vector<double> ms[3];
  for (int run = 0; run < runs; ++run) {
    for (std::size_t k = 0; k < 3; ++k) {
      const Mode mode = kModes[(k + static_cast<std::size_t>(run)) % 3];
      char name[32];
      std::snprintf(name, sizeof(name), "run-%d-%d", run, static_cast<int>(mode));
      const fs::path dir = dest / name;
      fs::remove_all(dir);
      sync();
      const auto t0 = std::chrono::steady_clock::now();
      if (!WriteAll(dir, entries, mode)) return 1;
      const auto t1 = std::chrono::steady_clock::now();
      ms[static_cast<int>(mode)].push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
      fs::remove_all(dir);
    }
  }
  sync();
  const double fsync_ms = Median(ms[0]);
  for (const Mode mode : kModes) {
    const auto& v = ms[static_cast<int>(mode)];
    const double median = Median(v);
    std::printf("%-34s median %9.1f ms (min %9.1f, max %9.1f)  per file %.4f ms  fsync/this %.1f\n",
                Name(mode), median, *std::min_element(v.begin(), v.end()),
                *std::max_element(v.begin(), v.end()), median / double(entries.size()),
                median > 0 ? fsync_ms / median : 0.0);
  }
  return 0;
}
