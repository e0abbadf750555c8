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

TEST(TipRotation, TipsNameTheMakersPages) {
  const std::vector<std::wstring> tips =
      TipRotation::DefaultTips(L"www.example.test/faq", L"forum.example.test");
  ASSERT_EQ(tips.size(), 5u);
  EXPECT_EQ(tips[0],
            L"The setup starts automatically after downloading. You can always start it manually "
            L"by executing the setup executable file.");
  EXPECT_EQ(tips[3],
            L"Is your hardware sufficient to run Veltra smoothly? For information and "
            L"recommendations, see www.example.test/faq.");
  EXPECT_EQ(tips[4],
            L"If you need support you can go to forum.example.test and post any question. Our "
            L"support staff is there to help you.");
}

}  // namespace
