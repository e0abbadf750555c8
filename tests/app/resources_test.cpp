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

// The colour of one pixel of a bitmap resource as the system decodes it,
// loaded as the dialog loads it (at `size`, or at its own size for 0).
COLORREF PixelOf(int id, int size, int x, int y) {
  HBITMAP bitmap = static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id),
                                                   IMAGE_BITMAP, size, size, LR_CREATEDIBSECTION));
  if (bitmap == nullptr) return CLR_INVALID;
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, bitmap);
  const COLORREF colour = GetPixel(dc, x, y);
  SelectObject(dc, old);
  DeleteDC(dc);
  DeleteObject(bitmap);
  return colour;
}

// The pictures are stored with a colour table to keep the program file
// small; whatever the storage, they must decode to what was drawn, also
// when scaled down to the button's 25 x 25.
TEST(ProgramResources, BitmapsHaveTheirSizesAndColours) {
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
    EXPECT_EQ(RGB(255, 255, 255), PixelOf(e.id, 0, 0, 0)) << e.id;
  }
  const COLORREF grey = RGB(128, 128, 128);
  EXPECT_EQ(grey, PixelOf(IDB_PAUSE, 0, 88, 128));                 // inside the left bar
  EXPECT_EQ(grey, PixelOf(IDB_PAUSE, 0, 168, 200));                // inside the right bar, low
  EXPECT_EQ(RGB(255, 255, 255), PixelOf(IDB_PAUSE, 0, 128, 128));  // between them
  EXPECT_EQ(grey, PixelOf(IDB_RESUME, 0, 100, 128));
  EXPECT_EQ(RGB(255, 255, 255), PixelOf(IDB_RESUME, 0, 230, 128));  // past the tip
  const COLORREF box = PixelOf(IDB_LOGO, 0, 20, 100);
  EXPECT_GT(GetBValue(box), GetRValue(box) + 60);  // the blue box, not white
  // As the button shows them.
  EXPECT_EQ(RGB(255, 255, 255), PixelOf(IDB_PAUSE, 25, 0, 0));
  EXPECT_LT(GetRValue(PixelOf(IDB_PAUSE, 25, 8, 12)), 160);
  EXPECT_LT(GetRValue(PixelOf(IDB_RESUME, 25, 10, 12)), 160);
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
