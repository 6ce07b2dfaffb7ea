// LaunchError: the one error value of the launcher, in its four forms, plus
// the error kinds of the platform layer and the launcher's fixed texts.
// Portable: rendering takes the system-text lookup as a parameter.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace lumaro::platform {

enum class ErrorKind : std::uint8_t {
  kNotFound,
  kPermissionDenied,
  kAlreadyExists,
  kInvalidInput,
  kInvalidData,
  kWriteZero,
  kOutOfMemory,
  kInterrupted,
  kUnexpectedEof,
  kTimedOut,
  kUnsupported,
  kOther,
};

// The fixed English description shown for a KindError.
std::string_view ErrorKindDescription(ErrorKind kind);

// The kind of an operating-system code, where a rule depends on it.
ErrorKind ErrorKindOfOsCode(std::int32_t code);

// Fixed user-facing texts (UTF-8, precomposed Vietnamese letters).
inline constexpr std::string_view kInvalidPackageMessage = "Gói ứng dụng không hợp lệ.";
inline constexpr std::string_view kNoDataFolderMessage = "Không tìm thấy thư mục dữ liệu Windows.";
inline constexpr std::string_view kAppStoppedMessage = "Ứng dụng đã dừng khi khởi động.";
// The dialog's caption is the prefix and the exe's product name.
inline constexpr std::string_view kDialogTitlePrefix = "Không mở được ";
inline constexpr std::string_view kDialogTitle = "Không mở được Lumaro";

// Fixed texts of the platform layer's StaticMessageErrors.
inline constexpr std::string_view kNulInPathMessage = "strings passed to WinAPI cannot contain NULs";
inline constexpr std::string_view kWriteZeroMessage = "failed to write whole buffer";

struct OsError {
  std::int32_t code;
};
struct MessageError {
  ErrorKind kind;
  std::string text;
};
struct KindError {
  ErrorKind kind;
};
struct StaticMessageError {
  ErrorKind kind;
  std::string_view text;  // static storage
};

class LaunchError {
 public:
  using Form = std::variant<OsError, MessageError, KindError, StaticMessageError>;

  // Any integer code (DWORD, ULONG, int): kept as its 32-bit pattern.
  template <std::integral Code>
  static LaunchError Os(Code code) {
    return LaunchError(OsError{static_cast<std::int32_t>(static_cast<std::uint32_t>(code))});
  }
  static LaunchError Message(ErrorKind kind, std::string text) {
    return LaunchError(MessageError{kind, std::move(text)});
  }
  static LaunchError Kind(ErrorKind kind) { return LaunchError(KindError{kind}); }
  static LaunchError Static(ErrorKind kind, std::string_view text) {
    return LaunchError(StaticMessageError{kind, text});
  }
  // The one error for everything wrong with the embedded package.
  static LaunchError InvalidPackage() {
    return Message(ErrorKind::kInvalidData, std::string(kInvalidPackageMessage));
  }

  // Out of line: the variant's moves and destruction are emitted once, not
  // again in every file that passes an error on.
  LaunchError(const LaunchError&);
  LaunchError(LaunchError&&) noexcept;
  LaunchError& operator=(const LaunchError&);
  LaunchError& operator=(LaunchError&&) noexcept;
  ~LaunchError();

  const Form& form() const { return form_; }
  ErrorKind kind() const;
  // The OS code when this is an OsError, else 0.
  std::int32_t os_code() const;

  bool operator==(const LaunchError&) const = default;

 private:
  explicit LaunchError(Form form) : form_(std::move(form)) {}
  Form form_;
};

bool operator==(const OsError&, const OsError&);
bool operator==(const MessageError&, const MessageError&);
bool operator==(const KindError&, const KindError&);
bool operator==(const StaticMessageError&, const StaticMessageError&);

using SystemTextLookup = std::string (*)(std::int32_t code);

// The dialog text of an error. The OS form is the system's description
// followed by " (os error N)".
std::string RenderLaunchError(const LaunchError& error, SystemTextLookup system_text);

}  // namespace lumaro::platform
