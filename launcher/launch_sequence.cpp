// The pass itself. Every step returns a value or a LaunchError; the guard is
// closed before any dialog so that a new launch can run meanwhile.

#include "launcher/launch_sequence.h"

#include "launcher/app_process.h"
#include "launcher/build_id.h"
#include "launcher/device_file.h"
#include "launcher/failure_report.h"
#include "launcher/instance_guard.h"
#include "launcher/runtime_install.h"
#include "package/payload_record.h"
#include "platform/fs.h"
#include "platform/environment.h"
#include "platform/path_rules.h"
#include "platform/system_path.h"

namespace lumaro::launcher {
namespace {

using platform::ErrorKind;
using platform::Fail;
using platform::LaunchError;
using platform::Result;

Result<void> RunPass(const package::IdentityFields& identity) {
  auto data_root = EnsureDataRoot(identity.data_folder);
  if (!data_root) return Fail(std::move(data_root.error()));

  const auto build_id = ValidateBuildId(package::BuildIdField());
  if (!build_id) return Fail(LaunchError::InvalidPackage());
  const std::string runtime_dir = platform::JoinPath(*data_root, RuntimeDirName(*build_id));

  if (auto installed = EnsureRuntime(*data_root, *build_id, runtime_dir); !installed) {
    return installed;
  }
  auto device_file = SeedDeviceFile(*data_root);
  if (!device_file) return Fail(std::move(device_file.error()));
  return RunApplication(*data_root, runtime_dir, *device_file);
}

}  // namespace

Result<std::string> EnsureDataRoot(std::string_view data_folder) {
  auto local_app_data = platform::ReadEnvironmentVariable("LOCALAPPDATA");
  if (!local_app_data) {
    return Fail(LaunchError::Message(ErrorKind::kOther, std::string(platform::kNoDataFolderMessage)));
  }
  std::string data_root = platform::JoinPath(*local_app_data, data_folder);
  // A relative value (an empty one included) is resolved once, here: the
  // application gets these paths too, and runs with RuntimeDir as its own
  // current folder, where a relative path would point somewhere else.
  if (!platform::IsFullyQualified(*local_app_data)) {
    auto absolute = platform::FullPathName(data_root);
    if (!absolute) return Fail(std::move(absolute.error()));
    data_root = std::move(*absolute);
  }
  if (auto created = platform::CreateFolderWithAncestors(data_root); !created) {
    return Fail(std::move(created.error()));
  }
  return data_root;
}

int RunLauncher() {
  // Written by the pack tool with the constants; unreadable only if the exe
  // was altered, like a damaged payload.
  const auto identity = package::EmbeddedIdentity();
  if (!identity) ReportFailureAndExit(LaunchError::InvalidPackage());
  auto acquired = InstanceGuard::Acquire(identity->mutex_name, identity->window_title);
  if (!acquired) ReportFailureAndExit(acquired.error());
  if (std::holds_alternative<InstanceGuard::AlreadyRunning>(*acquired)) return 0;
  InstanceGuard guard = std::move(std::get<InstanceGuard>(*acquired));

  Result<void> outcome = RunPass(*identity);
  guard.Close();
  if (!outcome) ReportFailureAndExit(outcome.error());
  return 0;
}

}  // namespace lumaro::launcher
