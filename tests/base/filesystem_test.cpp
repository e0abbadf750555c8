#include "base/filesystem.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "base/error.h"
#include "base/flagevent.h"
#include "base/scopedhandle.h"
#include "base/stringutils.h"
#include "base/taskthread.h"
#include "tests/support/tempdir.h"

namespace {

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int LogSize() { return static_cast<int>(Error::GetErrorListJson().size()); }

}  // namespace

TEST(FileSystem, RemovesATreeInnermostFirstWithoutRecords) {
  TempDir dir;
  const std::wstring root = dir.Path() + L"/tree";
  ASSERT_TRUE(::CreateDirectoryW(root.c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW((root + L"/a").c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW((root + L"/a/b").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(root + L"/one.bin", "1"));
  ASSERT_TRUE(WriteFileBytes(root + L"/a/two.bin", "2"));
  ASSERT_TRUE(WriteFileBytes(root + L"/a/b/three.bin", "3"));
  Error::ClearErrors();

  FileSystem::RecursivelyRemoveDirectory(root);

  EXPECT_FALSE(Exists(root));
  EXPECT_EQ(0, LogSize());
}

TEST(FileSystem, ReadOnlyFileKeepsItsFoldersAndIsRecorded) {
  TempDir dir;
  const std::wstring root = dir.Path() + L"/tree";
  ASSERT_TRUE(::CreateDirectoryW(root.c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW((root + L"/sub").c_str(), nullptr));
  const std::wstring locked = root + L"/sub/locked.bin";
  ASSERT_TRUE(WriteFileBytes(locked, "x"));
  ASSERT_TRUE(::SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_READONLY));
  Error::ClearErrors();

  FileSystem::RecursivelyRemoveDirectory(root);

  EXPECT_TRUE(Exists(locked));
  const auto log = Error::GetErrorListJson();
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ(
      "FileSystem::RecursivelyRemoveDirectory DeleteFile failed " + StringUtils::ToNarrow(locked),
      log[0]["message"]);
  EXPECT_EQ("filesystem", log[0]["file"]);
  EXPECT_NE(std::string::npos, log[1]["message"].get<std::string>().find("RemoveDirectory failed"));
  EXPECT_NE(std::string::npos, log[2]["message"].get<std::string>().find("RemoveDirectory failed"));
  ::SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(FileSystem, FolderWithCharactersOutsideTheCodePageIsRemoved) {
  TempDir dir;
  const std::wstring root = dir.Path() + L"/\u0141ukasz \u4e2d\u6587";
  ASSERT_TRUE(::CreateDirectoryW(root.c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(root + L"/\u0142.bin", "x"));
  Error::ClearErrors();
  FileSystem::RecursivelyRemoveDirectory(root);
  EXPECT_FALSE(Exists(root));
  EXPECT_EQ(0, LogSize());
}

TEST(FileSystem, MissingFolderRecordsOneFailedRemoval) {
  TempDir dir;
  Error::ClearErrors();
  FileSystem::RecursivelyRemoveDirectory(dir.Path() + L"/none");
  const auto log = Error::GetErrorListJson();
  ASSERT_EQ(1u, log.size());
  EXPECT_NE(std::string::npos, log[0]["message"].get<std::string>().find("RemoveDirectory failed"));
  // Not found, as a file or as a path.
  EXPECT_TRUE(log[0]["error_number"] == 2 || log[0]["error_number"] == 3) << log[0];
}

TEST(FileSystem, LinksAreClassifiedApartFromFolders) {
  using Kind = FileSystem::EntryKind;
  EXPECT_EQ(Kind::kFolder, FileSystem::Classify(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(Kind::kFolderLink,
            FileSystem::Classify(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_EQ(Kind::kFile, FileSystem::Classify(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(Kind::kFile, FileSystem::Classify(FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_EQ(Kind::kSkipped, FileSystem::Classify(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
}

// Needs a system that can create a folder link and shows it as a reparse
// point; the test says when it could not.
TEST(FileSystem, FolderLinkIsRemovedWithoutTouchingItsTarget) {
  TempDir dir;
  const std::wstring target = dir.Path() + L"\\target";
  const std::wstring root = dir.Path() + L"\\tree";
  ASSERT_TRUE(::CreateDirectoryW(target.c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(target + L"\\keep.bin", "keep"));
  ASSERT_TRUE(::CreateDirectoryW(root.c_str(), nullptr));
  const std::wstring link = root + L"\\link";
  if (!::CreateSymbolicLinkW(link.c_str(), target.c_str(),
                             SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2 /* allow unprivileged */)) {
    GTEST_SKIP() << "no folder links here (error " << ::GetLastError() << ")";
  }
  const DWORD attributes = ::GetFileAttributesW(link.c_str());
  // Wine 8 answers success without creating anything.
  if (attributes == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "the link was not created";
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    ::RemoveDirectoryW(link.c_str());
    GTEST_SKIP() << "the link does not show as a reparse point here";
  }
  Error::ClearErrors();

  FileSystem::RecursivelyRemoveDirectory(root);

  EXPECT_FALSE(Exists(root));
  EXPECT_EQ("keep", ReadFileBytes(target + L"\\keep.bin"));
}

TEST(FileSystem, ReadWholeFile) {
  TempDir dir;
  ByteBuffer buffer;
  Error::ClearErrors();
  FileSystem::ReadWholeFile(dir.File(L"missing"), buffer);
  EXPECT_TRUE(buffer.Empty());
  EXPECT_EQ(1, LogSize());

  ASSERT_TRUE(WriteFileBytes(dir.File(L"empty"), ""));
  FileSystem::ReadWholeFile(dir.File(L"empty"), buffer);
  EXPECT_EQ(0u, buffer.Size());

  ASSERT_TRUE(WriteFileBytes(dir.File(L"data"), std::string("a\0b", 3)));
  FileSystem::ReadWholeFile(dir.File(L"data"), buffer);
  EXPECT_EQ(std::string("a\0b", 3),
            std::string(reinterpret_cast<const char*>(buffer.Data()), buffer.Size()));
}

TEST(FileSystem, ListFilesLeavesOutFoldersAndHiddenFiles) {
  TempDir dir;
  ASSERT_TRUE(WriteFileBytes(dir.File(L"a.txt"), "a"));
  ASSERT_TRUE(WriteFileBytes(dir.File(L"h.txt"), "h"));
  ::SetFileAttributesW(dir.File(L"h.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
  ASSERT_TRUE(::CreateDirectoryW(dir.File(L"sub").c_str(), nullptr));
  std::vector<std::wstring> names;
  FileSystem::ListFiles(dir.Path(), {}, names, false);
  EXPECT_EQ(std::vector<std::wstring>{L"a.txt"}, names);
  FileSystem::ListFiles(dir.Path(), {}, names, true);
  EXPECT_EQ(std::vector<std::wstring>{dir.Path() + L"/a.txt"}, names);
  FileSystem::ListSubfolders(dir.Path(), names);
  EXPECT_EQ(std::vector<std::wstring>{L"sub"}, names);
  ::SetFileAttributesW(dir.File(L"h.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(FileSystemExecutableFolder, WideAndNarrowNameTheProgramsFolder) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring expected(path);
  expected.resize(expected.rfind(L'\\'));
  EXPECT_EQ(expected, FileSystem::GetExecutableFolderWide());
  EXPECT_EQ(StringUtils::ToNarrow(expected), FileSystem::GetExecutableFolder());
}

// A file held without sharing: the removal waits for its release, logs the
// wait once, and a wait that the stop ends returns at once.
TEST(FileSystem, RemovalWaitsOutAHoldAndEndsAtTheStop) {
  TempDir dir;
  const std::wstring root = dir.Path() + L"/held";
  ASSERT_TRUE(::CreateDirectoryW(root.c_str(), nullptr));
  const std::wstring file = root + L"/part0";
  ASSERT_TRUE(WriteFileBytes(file, "x"));
  Error::ClearErrors();
  {
    UniqueHandle held(::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    TaskThread release(L"release", [&held] {
      ::Sleep(700);
      held.Reset();
    });
    release.Start();
    FileSystem::RecursivelyRemoveDirectory(root);
  }
  EXPECT_FALSE(Exists(root));
  ASSERT_EQ(1, LogSize()) << Error::GetErrorListJson().dump(1);
  EXPECT_NE(std::string::npos, Error::GetErrorListJson()[0]["message"].get<std::string>().find(
                                   "held by another program; waited"));

  ASSERT_TRUE(::CreateDirectoryW(root.c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(file, "x"));
  UniqueHandle held(::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held);
  FlagEvent running;
  running.store(true);
  TaskThread stopper(L"stopper", [&running] {
    ::Sleep(300);
    running.store(false);
  });
  stopper.Start();
  const StopToken stop(running);
  const ULONGLONG started = ::GetTickCount64();
  FileSystem::RecursivelyRemoveDirectory(root, &stop);
  EXPECT_LT(::GetTickCount64() - started, 2000u) << "the stop ends the wait";
  EXPECT_TRUE(Exists(file));
}
