// LaunchError kinds, their descriptions, and rendering into dialog text.

#include "platform/launch_error.h"

namespace lumaro::platform {

LaunchError::LaunchError(const LaunchError&) = default;
LaunchError::LaunchError(LaunchError&&) noexcept = default;
LaunchError& LaunchError::operator=(const LaunchError&) = default;
LaunchError& LaunchError::operator=(LaunchError&&) noexcept = default;
LaunchError::~LaunchError() = default;

std::string_view ErrorKindDescription(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNotFound: return "entity not found";
    case ErrorKind::kPermissionDenied: return "permission denied";
    case ErrorKind::kAlreadyExists: return "entity already exists";
    case ErrorKind::kInvalidInput: return "invalid input parameter";
    case ErrorKind::kInvalidData: return "invalid data";
    case ErrorKind::kWriteZero: return "write zero";
    case ErrorKind::kOutOfMemory: return "out of memory";
    case ErrorKind::kInterrupted: return "operation interrupted";
    case ErrorKind::kUnexpectedEof: return "unexpected end of file";
    case ErrorKind::kTimedOut: return "timed out";
    case ErrorKind::kUnsupported: return "unsupported";
    case ErrorKind::kOther: return "other error";
  }
  return "other error";
}

ErrorKind ErrorKindOfOsCode(std::int32_t code) {
  switch (code) {
    case 2:    // ERROR_FILE_NOT_FOUND
    case 3:    // ERROR_PATH_NOT_FOUND
    case 15:   // ERROR_INVALID_DRIVE
    case 53:   // ERROR_BAD_NETPATH
    case 67:   // ERROR_BAD_NET_NAME
      return ErrorKind::kNotFound;
    case 80:   // ERROR_FILE_EXISTS
    case 183:  // ERROR_ALREADY_EXISTS
      return ErrorKind::kAlreadyExists;
    case 5:    // ERROR_ACCESS_DENIED
      return ErrorKind::kPermissionDenied;
    case 8:    // ERROR_NOT_ENOUGH_MEMORY
    case 14:   // ERROR_OUTOFMEMORY
      return ErrorKind::kOutOfMemory;
    case 87:   // ERROR_INVALID_PARAMETER
    case 123:  // ERROR_INVALID_NAME
      return ErrorKind::kInvalidInput;
    case 1460:  // ERROR_TIMEOUT
      return ErrorKind::kTimedOut;
    case 50:   // ERROR_NOT_SUPPORTED
      return ErrorKind::kUnsupported;
    default:
      return ErrorKind::kOther;
  }
}

bool operator==(const OsError& a, const OsError& b) { return a.code == b.code; }
bool operator==(const MessageError& a, const MessageError& b) {
  return a.kind == b.kind && a.text == b.text;
}
bool operator==(const KindError& a, const KindError& b) { return a.kind == b.kind; }
bool operator==(const StaticMessageError& a, const StaticMessageError& b) {
  return a.kind == b.kind && a.text == b.text;
}

namespace {
template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;
}  // namespace

ErrorKind LaunchError::kind() const {
  return std::visit(Overloaded{
                        [](const OsError& e) { return ErrorKindOfOsCode(e.code); },
                        [](const MessageError& e) { return e.kind; },
                        [](const KindError& e) { return e.kind; },
                        [](const StaticMessageError& e) { return e.kind; },
                    },
                    form_);
}

std::int32_t LaunchError::os_code() const {
  const auto* os = std::get_if<OsError>(&form_);
  return os ? os->code : 0;
}

std::string RenderLaunchError(const LaunchError& error, SystemTextLookup system_text) {
  return std::visit(Overloaded{
                        [&](const OsError& e) {
                          return system_text(e.code) + " (os error " + std::to_string(e.code) + ")";
                        },
                        [](const MessageError& e) { return e.text; },
                        [](const KindError& e) { return std::string(ErrorKindDescription(e.kind)); },
                        [](const StaticMessageError& e) { return std::string(e.text); },
                    },
                    error.form());
}

}  // namespace lumaro::platform
