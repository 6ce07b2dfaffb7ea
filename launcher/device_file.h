// The application's device configuration file in DataRoot: copied once from
// the "device.local.json" beside the executable, never touched afterwards.
#pragma once

#include <string>
#include <string_view>

#include "platform/fs.h"
#include "platform/result.h"

namespace lumaro::launcher {

inline constexpr std::string_view kDeviceFileName = "device.local.json";

// Returns the DeviceFile path, whether or not a file is there. When nothing
// exists at that path and a seed file stands beside the executable, the seed
// is copied: into "device.local.json.<pid>.tmp" first, flushed, then moved into
// place without replacing, so a failed write never leaves a partial
// DeviceFile behind (the temporary stays; nothing is deleted). `write` is the
// write primitive, replaceable by tests.
platform::Result<std::string> SeedDeviceFile(std::string_view data_root,
                                             platform::WriteChunkFn write = &platform::NtWriteChunk);

}  // namespace lumaro::launcher
