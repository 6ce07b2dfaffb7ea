// Parsing the helper's command line, and the portable rules it acts on.

#include "updater/apply_command.h"

#include <charconv>

namespace lumaro::updater {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

template <class Number>
bool ParseNumber(std::string_view text, Number& out) {
  if (text.empty() || text.size() > 20) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

std::string_view OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kApplied: return "applied";
    case Outcome::kInUse: return "in-use";
    case Outcome::kFailed: return "failed";
  }
  return "failed";
}

void AppendJsonString(std::string& out, std::string_view text) {
  constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20 || byte == 0x7f) {
      out += "\\u00";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xf]);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
}

}  // namespace

std::expected<ApplyCommand, std::string> ParseApplyCommand(std::span<const std::string> args) {
  using Refusal = std::unexpected<std::string>;
  if (args.empty() || args[0] != "apply") return Refusal("the first argument must be the command \"apply\"");
  ApplyCommand command;
  bool have_pid = false;
  bool have_size = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--restart") {
      command.restart = true;
      continue;
    }
    if (option != "--launcher-pid" && option != "--new" && option != "--size" && option != "--retry-ms") {
      return Refusal("unknown option " + option);
    }
    if (i + 1 >= args.size()) return Refusal(option + " needs a value");
    const std::string& value = args[++i];
    if (option == "--launcher-pid") {
      if (!ParseNumber(value, command.launcher_pid) || command.launcher_pid == 0) {
        return Refusal("--launcher-pid takes a process id, not " + value);
      }
      have_pid = true;
    } else if (option == "--new") {
      if (!IsExePath(value) || !IsStagedName(FileNameOf(value))) {
        return Refusal("--new takes the full path of a staged update-<16 hex digits>.exe, not " + value);
      }
      command.staged = value;
    } else if (option == "--size") {
      if (!ParseNumber(value, command.size) || command.size == 0) {
        return Refusal("--size takes the staged exe's size in bytes, not " + value);
      }
      have_size = true;
    } else if (!ParseNumber(value, command.retry_ms)) {
      return Refusal("--retry-ms takes milliseconds, not " + value);
    }
  }
  if (!have_pid) return Refusal("--launcher-pid is missing");
  if (command.staged.empty()) return Refusal("--new is missing");
  if (!have_size) return Refusal("--size is missing");
  return command;
}

bool IsExePath(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return false;
  const bool drive = path.size() >= 3 && path[0] != '\\' && path[0] != '/' && path[1] == ':' && IsSeparator(path[2]);
  const bool share = path.size() >= 3 && IsSeparator(path[0]) && IsSeparator(path[1]) && !IsSeparator(path[2]);
  if (!drive && !share) return false;
  const std::string_view name = FileNameOf(path);
  if (name.size() <= 4) return false;
  std::string suffix;
  for (const char c : name.substr(name.size() - 4)) suffix.push_back(AsciiLower(c));
  return suffix == ".exe";
}

bool IsStagedName(std::string_view file_name) {
  constexpr std::string_view kPrefix = "update-";
  constexpr std::string_view kSuffix = ".exe";
  if (file_name.size() != kPrefix.size() + 16 + kSuffix.size()) return false;
  if (!file_name.starts_with(kPrefix) || !file_name.ends_with(kSuffix)) return false;
  for (const char c : file_name.substr(kPrefix.size(), 16)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string_view FolderOf(std::string_view path) {
  const std::size_t cut = path.find_last_of("\\/");
  return cut == std::string_view::npos ? std::string_view() : path.substr(0, cut);
}

std::string_view FileNameOf(std::string_view path) {
  const std::size_t cut = path.find_last_of("\\/");
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

std::string ResultPathFor(std::string_view staged) {
  return std::string(FolderOf(staged)) + "\\" + std::string(kResultFileName);
}

bool IsInUse(std::int32_t code) { return code == 5 || code == 32 || code == 33; }

bool IsOtherVolume(std::int32_t code) { return code == 17; }

std::string CopyPathFor(std::string_view exe) { return std::string(exe) + ".update"; }

bool ShouldRetryReplace(std::int32_t code, std::uint64_t elapsed_ms, std::uint32_t retry_ms) {
  return IsInUse(code) && elapsed_ms < retry_ms;
}

std::string ResultJson(const ApplyResult& result) {
  std::string out = "{\"outcome\":";
  AppendJsonString(out, OutcomeName(result.outcome));
  out += ",\"step\":";
  AppendJsonString(out, result.step);
  out += ",\"osCode\":" + std::to_string(result.os_code);
  out += ",\"detail\":";
  AppendJsonString(out, result.detail);
  out += ",\"exe\":";
  AppendJsonString(out, result.exe);
  out += ",\"staged\":";
  AppendJsonString(out, result.staged);
  out += ",\"restart\":";
  out += result.restart_asked ? "true" : "false";
  out += ",\"restartOsCode\":" + std::to_string(result.restart_os_code);
  out += "}\n";
  return out;
}

int ExitStatus(Outcome outcome) {
  switch (outcome) {
    case Outcome::kApplied: return 0;
    case Outcome::kInUse: return 3;
    case Outcome::kFailed: return 1;
  }
  return 1;
}

}  // namespace lumaro::updater
