#include "download/runend.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "base/errorcodes.h"

namespace {

nlohmann::json Record(int32_t number) { return {{"message", "m"}, {"error_number", number}}; }

}  // namespace

// A run that gave up is told by the last cause in its log: a host that
// refused, then a network that failed, is a network failure; informational
// records and causes the table does not know change nothing.
TEST(RunEnd, GiveUpIsToldByTheLastCauseInTheLog) {
  const nlohmann::json refused = {Record(0), Record(DL_MANAGER_HTTP_STATUS_NOT_OK), Record(0),
                                  Record(DL_MANAGER_MAX_ATTEMPTS_EXCEEDED)};
  EXPECT_EQ(RunEnd::kHostRefused, ClassifyGiveUp(refused, false));
  nlohmann::json then_network = refused;
  then_network.push_back(Record(12029));  // ERROR_INTERNET_CANNOT_CONNECT
  then_network.push_back(Record(ERROR_INVALID_DATA));
  EXPECT_EQ(RunEnd::kNetwork, ClassifyGiveUp(then_network, false));
  nlohmann::json full = then_network;
  full.push_back(Record(ERROR_DISK_FULL));
  EXPECT_EQ(RunEnd::kNotSaved, ClassifyGiveUp(full, false));
  // A proxy nobody signed in to let nothing through, whatever else failed.
  EXPECT_EQ(RunEnd::kProxySignIn, ClassifyGiveUp(full, true));
  EXPECT_EQ(RunEnd::kFailed, ClassifyGiveUp(nlohmann::json::array({Record(0)}), false));
  EXPECT_EQ(RunEnd::kFailed, ClassifyGiveUp(nlohmann::json::object(), false));
}
