#include "download/localnames.h"

#include <gtest/gtest.h>

TEST(LocalNames, SuffixGoesBeforeTheExtension) {
  std::wstring local;
  ASSERT_TRUE(MakeLocalName(L"Setup.exe", L"_P1", local));
  EXPECT_EQ(L"Setup_P1.exe", local);
  ASSERT_TRUE(MakeLocalName(L"Setup-1a.bin", L"_P1", local));
  EXPECT_EQ(L"Setup_P1-1a.bin", local);
  // ".exe" anywhere in the name decides, not only at its end.
  ASSERT_TRUE(MakeLocalName(L"a.exe.backup", L"_P1", local));
  EXPECT_EQ(L"a.exe.ba_P1ckup", local);
}

TEST(LocalNames, NameTooShortHasNoLocalName) {
  std::wstring local = L"unchanged";
  EXPECT_FALSE(MakeLocalName(L"abc.bi", L"_P1", local));
  EXPECT_FALSE(MakeLocalName(L"", L"_P1", local));
  EXPECT_EQ(L"unchanged", local);
  EXPECT_TRUE(MakeLocalName(L".exe", L"_P1", local));
  EXPECT_EQ(L"_P1.exe", local);
}

TEST(LocalNames, HostileNamesAreRejected) {
  const wchar_t* hostile[] = {
      L"..\\..\\Windows\\evil.exe", L"../../evil.exe", L"sub/evil.exe", L"C:evil.exe",
      L"C:\\evil.exe", L"\\\\server\\share\\evil.exe", L"Setup.exe:stream", L"..", L".",
      L"CON", L"con.exe", L"NUL.bin1234", L"Com1.txt1234", L"LPT9.exe", L"AUX .exe",
      L"a<b.exe", L"a>b.exe", L"a|b.exe", L"a\"b.exe", L"a?b.exe", L"a*b.exe",
      L"tab\there.exe", L"Setup.exe.", L"Setup.exe ", L"\u00b9", L"COM\u00b9.exe1234"};
  for (const wchar_t* name : hostile) {
    std::wstring local;
    EXPECT_FALSE(MakeLocalName(name, L"_P1", local)) << name;
  }
  // A hostile suffix is caught in the formed name.
  std::wstring local;
  EXPECT_FALSE(MakeLocalName(L"Setup.exe", L"/..", local));
}

TEST(LocalNames, OrdinaryNamesPass) {
  for (const wchar_t* name : {L"Setup.exe", L"data-1.bin", L"CONSOLE.bin1", L"COM10.bin12",
                              L"\u0141ukasz.exe", L"a b c.cab0000"}) {
    EXPECT_TRUE(IsSafeFileName(name)) << name;
  }
}
