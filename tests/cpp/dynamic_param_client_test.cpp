// The parts of the configuration client that the joystick's fixed settings never reach
// from Python: the durability words and the invalid-argument error.
#include "joystick/dynamic_param_client.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <stdexcept>
#include <string>

using joystick::DynamicParamClient;
using joystick::DynamicParamConfig;

namespace {

std::string nameOf(const ::testing::TestParamInfo<const char*>& info) {
  std::string name = "case" + std::to_string(info.index) + "_";
  for (const char* c = info.param; *c != '\0'; ++c)
    name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
  return name;
}

class UnsupportedDurability : public ::testing::TestWithParam<const char*> {};

TEST_P(UnsupportedDurability, IsRefusedBeforeAnythingStarts) {
  ::setenv("ROS_DOMAIN_ID", "141", 1);
  const std::string word = GetParam();
  DynamicParamConfig config;
  config.domain_id = 141;
  config.durability = word;
  DynamicParamClient client;
  try {
    client.connect(config);
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), "Unsupported dynamic_param QoS durability: " + word);
  }
  EXPECT_FALSE(client.ready());
  EXPECT_EQ(client.config().durability, word);
}

INSTANTIATE_TEST_SUITE_P(Words, UnsupportedDurability,
                         ::testing::Values("Volatile", "transient-local", ""), nameOf);

class SupportedDurability : public ::testing::TestWithParam<const char*> {};

// Both recognised words get as far as the wait for a server, which nobody provides here.
TEST_P(SupportedDurability, ReachesTheWaitForAServer) {
  ::setenv("ROS_DOMAIN_ID", "141", 1);
  DynamicParamConfig config;
  config.durability = GetParam();
  config.depth = -3;
  DynamicParamClient client;
  try {
    client.connect(config);
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    FAIL() << "refused: " << e.what();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "dynamic_param service is unavailable");
  }
  EXPECT_FALSE(client.ready());
}

INSTANTIATE_TEST_SUITE_P(Words, SupportedDurability,
                         ::testing::Values("volatile", "transient_local"), nameOf);

}  // namespace
