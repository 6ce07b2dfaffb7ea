// The runtime folder's life: absent -> installed by one rename -> complete.

#include "launcher/runtime_install.h"

#include "launcher/build_id.h"
#include "package/decompress.h"
#include "package/unpack.h"
#include "platform/current_process.h"
#include "platform/fs.h"
#include "platform/path_rules.h"

namespace lumaro::launcher {
namespace {

using platform::Fail;
using platform::LaunchError;
using platform::Result;

constexpr std::string_view kReadyMarker = "ready";

// Empty even when the package itself carried a top-level "ready". Its full
// flush is the install's one device flush: it makes every file written out
// before it durable too.
Result<void> WriteReadyMarker(std::string_view staging_dir, platform::InstallFlush& flush) {
  auto marker = platform::OpenEmptiedForWriting(platform::JoinPath(staging_dir, kReadyMarker));
  if (!marker) return Fail(std::move(marker.error()));
  return flush.Seal(marker->get());
}

}  // namespace

bool RuntimeComplete(std::string_view runtime_dir) {
  for (const std::string_view name : {kReadyMarker, std::string_view("node.exe"),
                                      std::string_view("home.mjs")}) {
    if (!platform::IsFile(platform::JoinPath(runtime_dir, name))) return false;
  }
  return true;
}

Result<void> PublishStaging(std::string_view staging_dir, std::string_view runtime_dir) {
  auto renamed = platform::RenameFolder(staging_dir, runtime_dir);
  // The guard is per session but the data folder per user: the same user in
  // another session may have installed meanwhile, and its runtime will do.
  if (!renamed && RuntimeComplete(runtime_dir)) return {};
  return renamed;
}

Result<void> EnsureRuntime(std::string_view data_root, std::string_view build_id,
                           std::string_view runtime_dir, InstallFlushSource flush_source) {
  if (RuntimeComplete(runtime_dir)) return {};
  if (platform::Exists(runtime_dir)) return Fail(LaunchError::InvalidPackage());

  auto package = package::DecompressPackage();
  if (!package) return Fail(std::move(package.error()));

  const std::string staging_dir =
      platform::JoinPath(data_root, StagingDirName(build_id, platform::CurrentProcessId()));
  if (auto created = platform::CreateFolder(staging_dir); !created) return created;
  platform::InstallFlush flush = flush_source();
  package::UnpackOptions options;
  options.flush = &flush;
  if (auto unpacked = package::UnpackPackage(package->bytes(), staging_dir, options); !unpacked) {
    return unpacked;
  }
  if (auto marked = WriteReadyMarker(staging_dir, flush); !marked) return marked;

  if (auto published = PublishStaging(staging_dir, runtime_dir); !published) return published;
  package->Free();
  return {};
}

}  // namespace lumaro::launcher
