// The file-system layer against a real (Wine) file system: folder creation,
// attribute queries, path conversion, writes, truncation and the rename.

#include "platform/fs.h"

#include <gtest/gtest.h>

#include <cstddef>

#include "platform/system_path.h"
#include "platform/wide.h"
#include "platform/tests/win_test_files.h"

namespace lumaro::platform {
namespace {

namespace fs = std::filesystem;
using lumaro::testing::FromUtf8;
using lumaro::testing::ReadFileBytes;
using lumaro::testing::TempDir;
using lumaro::testing::WriteFileBytes;

TEST(CreateFolderWithAncestors, CreatesEveryMissingLevel) {
  TempDir dir;
  const std::string deep = dir / "Thư mục dữ liệu\\Người dùng An\\AppData Local\\Lumaro";
  ASSERT_TRUE(CreateFolderWithAncestors(deep));
  EXPECT_TRUE(fs::is_directory(FromUtf8(deep)));
  // Again: every level exists as a folder, which is fine.
  EXPECT_TRUE(CreateFolderWithAncestors(deep));
  EXPECT_TRUE(CreateFolderWithAncestors(deep + "\\"));
}

TEST(CreateFolderWithAncestors, AFileInTheWayFailsWith183) {
  TempDir dir;
  WriteFileBytes(dir.path() / "Lumaro", "x");
  auto result = CreateFolderWithAncestors(dir / "Lumaro");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LaunchError::Os(183));
  // Deeper below the file: "a\\b" and "a" can't be made with a file as their
  // parent (3, not found), so the climb goes on up to the file itself.
  result = CreateFolderWithAncestors(dir / "Lumaro\\a\\b");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LaunchError::Os(183));
  EXPECT_EQ(ReadFileBytes(dir.path() / "Lumaro"), "x");
}

TEST(CreateFolderWithAncestors, RootsAndEmptyPathsNeedNothing) {
  EXPECT_TRUE(CreateFolderWithAncestors(""));
  EXPECT_TRUE(CreateFolderWithAncestors("C:\\"));
}

TEST(CreateFolderWithAncestors, DeepPathsBeyondTheClassicLimit) {
  TempDir dir;
  std::string deep = dir.str();
  while (deep.size() < 400) deep += "\\" + std::string(40, 'd');
  ASSERT_TRUE(CreateFolderWithAncestors(deep));
  EXPECT_TRUE(IsDirectory(deep));
}

TEST(QueryAttributes, FilesFoldersAndAbsence) {
  TempDir dir;
  WriteFileBytes(dir.path() / "f", "x");
  fs::create_directory(dir.path() / "d");
  EXPECT_TRUE(IsFile(dir / "f"));
  EXPECT_FALSE(IsDirectory(dir / "f"));
  EXPECT_TRUE(Exists(dir / "d"));
  EXPECT_FALSE(IsFile(dir / "d"));
  EXPECT_TRUE(IsDirectory(dir / "d"));
  EXPECT_FALSE(Exists(dir / "missing"));
  EXPECT_FALSE(Exists(dir / "missing\\deeper"));
  EXPECT_FALSE(Exists(std::string("a\0b", 3)));
}

// The no-access open QueryAttributes makes first: its error, 0 if it opened.
DWORD ZeroAccessOpenError(const std::string& path) {
  UniqueFileHandle h(CreateFileW(ToWide(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return h ? 0 : GetLastError();
}

// An item that even a no-access open is refused (5) while its folder still
// lists it, so only the folder entry can say what it is. Windows refuses a
// file whose delete is pending; Wine 8 still opens one, but Linux refuses a
// read open of a write-only sysfs attribute even to root, which Wine reports
// as 5.
TEST(QueryAttributes, AnItemThatCantBeOpenedIsReadFromItsFolderEntry) {
  TempDir dir;
  WriteFileBytes(dir.path() / "leaving", "x");
  std::string refused = dir / "leaving";
  UniqueFileHandle doomed(CreateFileW(ToWide(refused).c_str(), DELETE, kShareAll, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(doomed);
  FILE_DISPOSITION_INFO disposition{TRUE};
  ASSERT_TRUE(SetFileInformationByHandle(doomed.get(), FileDispositionInfo, &disposition,
                                         sizeof(disposition)));
  if (ZeroAccessOpenError(refused) == 0) refused = "Z:\\sys\\bus\\platform\\uevent";

  ASSERT_EQ(ZeroAccessOpenError(refused), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << refused;
  EXPECT_TRUE(Exists(refused));
  EXPECT_TRUE(IsFile(refused));
  EXPECT_FALSE(IsDirectory(refused));
}

TEST(ToSystemPath, RefusesNulsAndPrefixesWhatNeedsIt) {
  auto refused = ToSystemPath(std::string_view("C:\\a\0b", 6));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(),
            LaunchError::Static(ErrorKind::kInvalidInput,
                                "strings passed to WinAPI cannot contain NULs"));

  EXPECT_EQ(*ToSystemPath("C:\\short"), L"C:\\short");
  const std::wstring relative = *ToSystemPath("rel\\x");
  EXPECT_EQ(relative.rfind(L"\\\\?\\", 0), 0u);
  EXPECT_TRUE(relative.ends_with(L"\\rel\\x"));

  const std::string long_path = "C:\\" + std::string(244, 'a');  // 247 characters
  EXPECT_EQ(*ToSystemPath(long_path), L"\\\\?\\" + ToWide(long_path));
  EXPECT_EQ(*ToSystemPath(long_path.substr(0, 246)), ToWide(long_path.substr(0, 246)));
  EXPECT_EQ(*ToSystemPath("\\\\.\\NUL"), L"\\\\.\\NUL");
}

WriteAttempt WritesNothing(NativeHandle, const std::byte*, std::uint32_t) { return {0, 0}; }
int g_calls = 0;
WriteAttempt WritesThreeAtATime(NativeHandle file, const std::byte* data, std::uint32_t length) {
  ++g_calls;
  return NtWriteChunk(file, data, std::min<std::uint32_t>(length, 3));
}
WriteAttempt DiskFull(NativeHandle, const std::byte*, std::uint32_t) {
  return {static_cast<NtStatus>(0xC000007F), 0};  // STATUS_DISK_FULL
}

TEST(WriteAll, ContinuesShortWritesAndReportsZeroWrites) {
  TempDir dir;
  auto file = OpenFile(dir / "out", GENERIC_WRITE, kShareAll, CREATE_NEW, 0);
  ASSERT_TRUE(file);
  const std::string text = "0123456789";
  const auto bytes = std::as_bytes(std::span(text));
  g_calls = 0;
  ASSERT_TRUE(WriteAll(file->handle.get(), bytes, &WritesThreeAtATime));
  EXPECT_EQ(g_calls, 4);

  auto zero = WriteAll(file->handle.get(), bytes, &WritesNothing);
  ASSERT_FALSE(zero);
  EXPECT_EQ(zero.error(), LaunchError::Static(ErrorKind::kWriteZero, "failed to write whole buffer"));

  auto full = WriteAll(file->handle.get(), bytes, &DiskFull);
  ASSERT_FALSE(full);
  EXPECT_EQ(full.error(), LaunchError::Os(112));  // ERROR_DISK_FULL
  file->handle.reset();
  EXPECT_EQ(ReadFileBytes(dir.path() / "out"), text);
}

TEST(ReadToEnd, ReadsWholeFilesOfAnySize) {
  TempDir dir;
  std::string big(300000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  WriteFileBytes(dir.path() / "big", big);
  WriteFileBytes(dir.path() / "empty", "");
  for (const auto& [name, expected] : {std::pair{"big", big}, std::pair{"empty", std::string()}}) {
    auto file = OpenFile(dir / name, GENERIC_READ, kShareAll, OPEN_EXISTING, 0);
    ASSERT_TRUE(file);
    auto bytes = ReadToEnd(file->handle.get());
    ASSERT_TRUE(bytes);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes->bytes().data()), bytes->size()), expected);
  }
}

TEST(TruncateToZero, EmptiesAnExistingFile) {
  TempDir dir;
  WriteFileBytes(dir.path() / "ready", "leftover content");
  auto file = OpenFile(dir / "ready", GENERIC_WRITE, kShareAll, OPEN_ALWAYS, 0);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->error_after_open, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  ASSERT_TRUE(TruncateToZero(file->handle.get()));
  file->handle.reset();
  EXPECT_EQ(fs::file_size(dir.path() / "ready"), 0u);
}

TEST(RenameFolder, MovesIntoPlaceAndRefusesANonEmptyTarget) {
  TempDir dir;
  fs::create_directories(dir.path() / "stage" / "sub");
  WriteFileBytes(dir.path() / "stage" / "sub" / "f", "data");
  ASSERT_TRUE(RenameFolder(dir / "stage", dir / "runtime"));
  EXPECT_EQ(ReadFileBytes(dir.path() / "runtime" / "sub" / "f"), "data");
  EXPECT_FALSE(fs::exists(dir.path() / "stage"));

  fs::create_directories(dir.path() / "stage2");
  auto refused = RenameFolder(dir / "stage2", dir / "runtime");
  ASSERT_FALSE(refused);
  // MoveFileExW refuses a folder over a folder (5). The handle route's "not
  // empty" (145, Windows) passes through; Wine has no FileRenameInfoEx (87),
  // and that failure is reported as the first refusal.
  EXPECT_EQ(refused.error(), LaunchError::Os(lumaro::testing::RunningUnderWine() ? 5 : 145));
  EXPECT_EQ(ReadFileBytes(dir.path() / "runtime" / "sub" / "f"), "data");
  EXPECT_TRUE(fs::exists(dir.path() / "stage2"));
}

}  // namespace
}  // namespace lumaro::platform
