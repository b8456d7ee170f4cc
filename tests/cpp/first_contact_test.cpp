// The first write of a Robot waits for the controller's readers: the participant that writes
// observations. A passive participant reading every topic (a recorder) must not pass for it.
#include <dds/dds.h>
#include <gtest/gtest.h>

#include <chrono>

#include "dds/dds_layer.hpp"
#include "robot/robot.hpp"

namespace {

constexpr uint32_t kDomain = 147;

// A participant with readers on the four topics a Robot writes (when `reads`), and the writer
// of observations that makes it the controller (when `writes_obs`).
struct Peer {
  dds_entity_t participant;
  explicit Peer(bool reads, bool writes_obs)
      : participant(dds_create_participant(kDomain, nullptr, nullptr)) {
    const sdk_dds::DdsConfig c;
    const auto reader = [&](const dds_topic_descriptor_t* type, const sdk_dds::TopicConfig& cfg) {
      sdk_dds::createReader(participant, sdk_dds::createTopic(participant, type, cfg), cfg);
    };
    if (reads) {
      reader(&core_dds_UserMode_desc, c.user_mode);
      reader(&core_dds_UserAction_desc, c.user_action);
      reader(&core_dds_UserGains_desc, c.user_gains);
      reader(&core_dds_UserObsRequest_desc, c.user_obs_request);
    }
    if (writes_obs) {
      sdk_dds::createWriter(
          participant, sdk_dds::createTopic(participant, &core_dds_UserObservation_desc, c.user_obs),
          c.user_obs);
    }
  }
  ~Peer() { (void)dds_delete(participant); }
};

double secondsToEnableUserMode() {
  robot::Robot r(static_cast<int32_t>(kDomain), 1);
  const auto start = std::chrono::steady_clock::now();
  r.enableUserMode();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(FirstContact, ReadersOfAnotherParticipantThanTheObservationWriterDoNotCount) {
  const Peer recorder(true, false);
  const Peer observation_writer_without_readers(false, true);
  // Every writer has a reader and the observation reader a writer, but no one participant is
  // both: the whole first-contact budget of one second passes.
  EXPECT_GE(secondsToEnableUserMode(), 0.95);
}

TEST(FirstContact, TheControllersOwnReadersEndTheWaitAtOnce) {
  const Peer recorder(true, false);
  const Peer controller(true, true);
  EXPECT_LT(secondsToEnableUserMode(), 0.9);
}

}  // namespace
