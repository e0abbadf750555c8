#include "app/tiprotation.h"

#include <utility>

TipRotation::TipRotation(std::vector<std::wstring> tips) : tips_(std::move(tips)) {}

const std::wstring* TipRotation::Advance() {
  ++updates_;
  if (updates_ % kUpdatesPerTip != 0 || tips_.empty()) return nullptr;
  const std::wstring* tip = &tips_[current_];
  current_ = (current_ + 1) % tips_.size();
  return tip;
}

std::vector<std::wstring> TipRotation::DefaultTips(const std::wstring& faq_address,
                                                   const std::wstring& forum_address) {
  return {
      L"The setup starts automatically after downloading. You can always start it manually by "
      L"executing the setup executable file.",
      L"You can quit the download manager at any moment. It will resume the download next time "
      L"it starts.",
      L"You may install Veltra on multiple computers. Keep your setup files so you don't need to "
      L"download them again.",
      L"Is your hardware sufficient to run Veltra smoothly? For information and recommendations, "
      L"see " +
          faq_address + L".",
      L"If you need support you can go to " + forum_address +
          L" and post any question. Our support staff is there to help you.",
  };
}
