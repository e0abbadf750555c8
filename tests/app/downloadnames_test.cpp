#include "app/downloadnames.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(DownloadNames, ReleaseNameIsTheFileNameUpToItsLastUnderscore) {
  EXPECT_EQ(DownloadNames::ReleaseName(L"C:\\Users\\user\\Downloads\\Veltra_R1_web.exe"),
            L"Veltra_R1");
  EXPECT_EQ(DownloadNames::ReleaseName(L"C:\\Downloads\\Veltra_R1.exe"), L"Veltra");
  EXPECT_EQ(DownloadNames::ReleaseName(L"C:\\Downloads\\Veltra_R1_web.EXE"), L"Veltra_R1");
  EXPECT_EQ(DownloadNames::ReleaseName(L"C:\\Downloads\\Veltra_R1_web.bin"), L"Veltra_R1");
  EXPECT_EQ(DownloadNames::ReleaseName(L"Veltra_R1_web.exe"), L"Veltra_R1");
  // The underscore of a folder name does not count.
  EXPECT_THROW(DownloadNames::ReleaseName(L"C:\\my_files\\Veltra.exe"), std::out_of_range);
  EXPECT_THROW(DownloadNames::ReleaseName(L"C:\\a\\V.x"), std::out_of_range);
  // A name of fewer than four characters stays whole.
  EXPECT_EQ(DownloadNames::ReleaseName(L"C:\\a\\V_x"), L"V");
  // Nothing before the underscore names no release: its download folder
  // would be the whole application-data folder.
  EXPECT_THROW(DownloadNames::ReleaseName(L"C:\\Downloads\\_web.exe"), std::out_of_range);
  try {
    DownloadNames::ReleaseName(L"C:\\Veltra.exe");
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "invalid string position");
  }
}

TEST(DownloadNames, FoldersAndFileNames) {
  EXPECT_EQ(DownloadNames::ProgramFolder(L"C:\\Users\\user\\Downloads\\Veltra_R1_web.exe"),
            L"C:\\Users\\user\\Downloads");
  EXPECT_EQ(DownloadNames::ProgramFolder(L"Veltra_R1_web.exe"), L"Veltra_R1_web.exe");
  EXPECT_EQ(DownloadNames::DownloadFolder(L"C:\\Users\\user\\AppData\\Local", L"Veltra_R1"),
            L"C:/Users/user/AppData/Local/Veltra_R1");
  EXPECT_EQ(DownloadNames::DownloadFolder(L"\\\\server\\share\\Local", L"Veltra_R1"),
            L"//server/share/Local/Veltra_R1");
  EXPECT_EQ(DownloadNames::CrcInfoName(L"Veltra_R1"), L"Veltra_R1.txt");
  EXPECT_EQ(DownloadNames::WindowCaption(L"Veltra_R1"), L"Veltra_R1 download manager");
}

TEST(DownloadNames, RunningProgramAndAppDataFolder) {
  const std::wstring path = DownloadNames::ProgramPath();
  EXPECT_NE(path.find(L"app_tests.exe"), std::wstring::npos) << path.c_str();
  EXPECT_EQ(DownloadNames::ReleaseName(path), L"app");
  const std::wstring appdata = DownloadNames::LocalAppDataFolder();
  ASSERT_FALSE(appdata.empty());
  EXPECT_NE(appdata.back(), L'\\');
  EXPECT_EQ(DownloadNames::DownloadFolder(appdata, L"R").find(L'\\'), std::wstring::npos);
}

}  // namespace
