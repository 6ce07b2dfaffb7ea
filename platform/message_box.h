// The error dialog.
#pragma once

#include <string_view>

namespace lumaro::platform {

// MessageBoxW with the error icon and a single OK button, through user32
// loaded on this path only. Nothing shows if user32 cannot be loaded.
void ShowErrorDialog(std::string_view text, std::string_view caption);

}  // namespace lumaro::platform
