// Many constructions and teardowns of the two main objects in one process, successful and
// failed, each of which must give back everything it took: no participant survives a
// cycle, and in the sanitizer build the leak checker at exit finds nothing.
#include <dds/dds.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "joystick/joystick.hpp"
#include "param_server.hpp"
#include "robot/robot.hpp"

namespace {

constexpr int32_t kDomain = 144;
constexpr int kRos2Domain = 145;

size_t participantsIn(uint32_t domain) {
  dds_entity_t found[8];
  const dds_return_t n = dds_lookup_participant(domain, found, 8);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

// The runtime state file goes to a directory of this test's own, removed at exit.
void privateTemporaryDirectory() {
  struct Directory {
    std::filesystem::path path;
    Directory() {
      char pattern[] = "/tmp/lifecycle_cycles_XXXXXX";
      const char* made = mkdtemp(pattern);
      if (made == nullptr) throw std::runtime_error("mkdtemp failed");
      path = made;
    }
    ~Directory() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  };
  static Directory dir;
  setenv("TMPDIR", dir.path.c_str(), 1);
}

TEST(Cycles, RobotGivesBackItsParticipant) {
  privateTemporaryDirectory();
  for (int i = 0; i < 30; ++i) {
    {
      robot::Robot r(kDomain, 1);
      // Gains also write the state file; without a controller each first write waits for
      // one for a second, so only a few cycles do it.
      if (i < 2) r.setGains({20.0f, 20.0f, 6.0f, 6.0f}, {0.5f, 0.5f, 0.6f, 0.6f});
      ASSERT_EQ(participantsIn(kDomain), 1u) << "cycle " << i;
    }
    ASSERT_EQ(participantsIn(kDomain), 0u) << "cycle " << i;
  }
}

TEST(Cycles, RefusedRobotConstructionLeavesNothing) {
  for (int i = 0; i < 20; ++i) {
    EXPECT_THROW(robot::Robot(5000, 1), std::runtime_error);  // a domain without ports
  }
  EXPECT_EQ(participantsIn(5000), 0u);
}

TEST(Cycles, JoystickGivesBackItsParticipants) {
  privateTemporaryDirectory();
  ParamServer server(kRos2Domain);
  const size_t rosParticipants = participantsIn(kRos2Domain);  // the server's own
  for (int i = 0; i < 8; ++i) {
    {
      joystick::Joystick j({"left_y", "right_x"}, joystick::CommandRanges{}, kDomain, kRos2Domain);
      EXPECT_EQ(j.getCmd().size(), 2u);
      ASSERT_EQ(participantsIn(kDomain), 1u) << "cycle " << i;
    }
    ASSERT_EQ(participantsIn(kDomain), 0u) << "cycle " << i;
    ASSERT_EQ(participantsIn(kRos2Domain), rosParticipants) << "cycle " << i;
  }
  EXPECT_EQ(server.answered(), 8);
}

TEST(Cycles, RefusedJoystickConfigurationLeavesNothing) {
  privateTemporaryDirectory();
  ParamServer server(kRos2Domain, false);
  const size_t rosParticipants = participantsIn(kRos2Domain);
  for (int i = 0; i < 8; ++i) {
    try {
      joystick::Joystick j({}, joystick::CommandRanges{}, kDomain, kRos2Domain);
      FAIL() << "constructed although the robot refused the configuration";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "dynamic_param request rejected: refused by the test");
    }
    ASSERT_EQ(participantsIn(kDomain), 0u) << "cycle " << i;
    ASSERT_EQ(participantsIn(kRos2Domain), rosParticipants) << "cycle " << i;
  }
}

}  // namespace
