#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/resource.h"

namespace {

std::string ResourceBytes(LPCWSTR type, LPCWSTR name) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC found = FindResourceW(module, name, type);
  if (found == nullptr) return std::string();
  HGLOBAL loaded = LoadResource(module, found);
  const char* data = static_cast<const char*>(LockResource(loaded));
  return std::string(data, SizeofResource(module, found));
}

#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width, height, colours, reserved;
  WORD planes, bit_count;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

TEST(ProgramResources, IconHoldsThreeSizesInThirtyTwoBits) {
  const std::string group =
      ResourceBytes(MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */, MAKEINTRESOURCEW(IDI_APP));
  ASSERT_GE(group.size(), 6u);
  const WORD count = *reinterpret_cast<const WORD*>(group.data() + 4);
  ASSERT_EQ(count, 3);
  ASSERT_EQ(group.size(), 6 + count * sizeof(GroupIconEntry));
  const auto* entries = reinterpret_cast<const GroupIconEntry*>(group.data() + 6);
  for (int i = 0; i < count; ++i) {
    EXPECT_EQ(entries[i].width, 16 * (i + 1));
    EXPECT_EQ(entries[i].bit_count, 32);
  }
}

TEST(ProgramResources, BitmapsHaveTheirSizesAndDepth) {
  struct Expected {
    int id, width, height;
  };
  for (const Expected& e : {Expected{IDB_LOGO, 179, 228}, Expected{IDB_PAUSE, 256, 256},
                            Expected{IDB_RESUME, 256, 256}}) {
    const std::string bits =
        ResourceBytes(MAKEINTRESOURCEW(2) /* RT_BITMAP */, MAKEINTRESOURCEW(e.id));
    ASSERT_GE(bits.size(), sizeof(BITMAPINFOHEADER)) << e.id;
    const auto* header = reinterpret_cast<const BITMAPINFOHEADER*>(bits.data());
    EXPECT_EQ(header->biWidth, e.width);
    EXPECT_EQ(header->biHeight, e.height);
    EXPECT_EQ(header->biBitCount, 24);
  }
}

TEST(ProgramResources, ManifestAsksForWhatTheProgramNeeds) {
  const std::string manifest =
      ResourceBytes(MAKEINTRESOURCEW(24) /* RT_MANIFEST */, MAKEINTRESOURCEW(1));
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
            std::string::npos);
  EXPECT_NE(manifest.find("PerMonitorV2"), std::string::npos);
  EXPECT_NE(manifest.find("supportedOS"), std::string::npos);
}

TEST(ProgramResources, VersionResourceNamesTheProduct) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  ASSERT_GT(size, 0u);
  std::string block(size, '\0');
  ASSERT_TRUE(GetFileVersionInfoW(path, 0, size, block.data()));
  auto value = [&](const wchar_t* name) {
    wchar_t* text = nullptr;
    UINT length = 0;
    std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    if (!VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&text), &length)) {
      return std::wstring();
    }
    return std::wstring(text);
  };
  EXPECT_EQ(value(L"ProductName"), L"Veltra Download Manager");
  EXPECT_EQ(value(L"FileDescription"), L"Veltra download manager");
  EXPECT_FALSE(value(L"FileVersion").empty());
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
}

}  // namespace
