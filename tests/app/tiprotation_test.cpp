#include "app/tiprotation.h"

#include <gtest/gtest.h>

namespace {

TEST(TipRotation, EveryFifthUpdateShowsTheNextTipRoundAndRound) {
  TipRotation tips(TipRotation::DefaultTips(L"faq.example", L"forum.example"));
  std::vector<std::wstring> shown;
  for (int update = 1; update <= 30; ++update) {
    const std::wstring* tip = tips.Advance();
    if (update % 5 != 0) {
      EXPECT_EQ(tip, nullptr) << "update " << update;
      continue;
    }
    ASSERT_NE(tip, nullptr) << "update " << update;
    shown.push_back(*tip);
  }
  const std::vector<std::wstring> all = TipRotation::DefaultTips(L"faq.example", L"forum.example");
  ASSERT_EQ(shown.size(), 6u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(shown[i], all[i]);
  EXPECT_EQ(shown[5], all[0]);
  EXPECT_EQ(tips.Updates(), 30u);
}

}  // namespace
