// The endpoint layer against the real library: QoS from words, create-all and delete-all,
// and the two takes, with a writer in the same process as the peer.
#include "dds/dds_layer.hpp"

#include <dds/dds.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>

using namespace sdk_dds;

namespace {

constexpr int32_t kDomain = 140;

struct QosWords {
  dds_history_kind_t history;
  int32_t depth;
  dds_reliability_kind_t reliability;
  dds_duration_t blocking;
  dds_durability_kind_t durability;
};

QosWords read(const TopicConfig& cfg) {
  QosPtr q = makeQos(cfg);
  QosWords w{};
  dds_qget_history(q.get(), &w.history, &w.depth);
  dds_qget_reliability(q.get(), &w.reliability, &w.blocking);
  dds_qget_durability(q.get(), &w.durability);
  return w;
}

TEST(MakeQos, WordsAreExactAndLowerCase) {
  QosWords w = read({"t", "KEEP_ALL", 5, "Reliable", ""});
  EXPECT_EQ(w.history, DDS_HISTORY_KEEP_LAST);
  EXPECT_EQ(w.depth, 5);
  EXPECT_EQ(w.reliability, DDS_RELIABILITY_RELIABLE);
  EXPECT_EQ(w.blocking, DDS_SECS(1));
  EXPECT_EQ(w.durability, DDS_DURABILITY_VOLATILE);

  w = read({"t", "keep_all", 5, "best_effort", "transient_local"});
  EXPECT_EQ(w.history, DDS_HISTORY_KEEP_ALL);
  EXPECT_EQ(w.reliability, DDS_RELIABILITY_BEST_EFFORT);
  EXPECT_EQ(w.blocking, 0);
  EXPECT_EQ(w.durability, DDS_DURABILITY_TRANSIENT_LOCAL);

  EXPECT_EQ(read({"t", "keep_last", 7, "reliable", "Transient_Local"}).durability,
            DDS_DURABILITY_VOLATILE);
}

TEST(MakeQos, DepthBelowOneMeansOne) {
  for (int32_t depth : {0, -3}) {
    EXPECT_EQ(read({"t", "keep_last", depth, "reliable", "volatile"}).depth, 1)
        << "depth " << depth;
  }
}

TEST(CheckRc, LabelsNegativeCodesOnly) {
  EXPECT_NO_THROW(checkRc(0, "x"));
  EXPECT_NO_THROW(checkRc(3, "x"));
  try {
    checkRc(DDS_RETCODE_TIMEOUT, "dds_wait_for_acks(user_mode)");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              std::string("dds_wait_for_acks(user_mode): ") + dds_strretcode(DDS_RETCODE_TIMEOUT));
  }
}

size_t participantsIn(int32_t domain) {
  dds_entity_t found[8];
  const dds_return_t n = dds_lookup_participant(static_cast<dds_domainid_t>(domain), found, 8);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

dds_entity_t reliableWriter(dds_entity_t participant, dds_entity_t topic, bool keepAll = false) {
  dds_qos_t* wq = dds_create_qos();
  dds_qset_reliability(wq, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
  if (keepAll) dds_qset_history(wq, DDS_HISTORY_KEEP_ALL, 0);
  const dds_entity_t w = dds_create_writer(participant, topic, wq, nullptr);
  dds_delete_qos(wq);
  return w;
}

TEST(DdsEndpoints, CreateAllAndDeleteAll) {
  DdsConfig config;
  EXPECT_EQ(config.domain_id, 1);
  config.domain_id = kDomain;
  DdsEndpoints ep;
  ep.close();  // never initialised: nothing to do
  ep.init(config);
  EXPECT_TRUE(ep.initialised);
  const dds_entity_t handles[] = {ep.participant,
                                  ep.user_mode_topic,
                                  ep.user_mode_writer,
                                  ep.user_command_topic,
                                  ep.user_command_reader,
                                  ep.user_command_condition,
                                  ep.user_command_waitset,
                                  ep.user_action_topic,
                                  ep.user_action_writer,
                                  ep.user_gains_topic,
                                  ep.user_gains_writer,
                                  ep.user_obs_request_topic,
                                  ep.user_obs_request_writer,
                                  ep.user_obs_topic,
                                  ep.user_obs_reader,
                                  ep.user_obs_condition,
                                  ep.user_obs_waitset};
  for (dds_entity_t h : handles) EXPECT_GT(h, 0);
  const dds_entity_t reader = ep.user_obs_reader;
  ep.init(config);  // already initialised: creates nothing
  EXPECT_EQ(ep.user_obs_reader, reader);
  EXPECT_EQ(participantsIn(kDomain), 1u);

  // Attached conditions and the right readers: the wait set wakes for its own topic.
  const dds_entity_t obs_writer = reliableWriter(ep.participant, ep.user_obs_topic);
  core_dds_UserObservation empty{};
  ASSERT_EQ(dds_write(obs_writer, &empty), 0);
  dds_attach_t hit[1];
  ASSERT_EQ(dds_waitset_wait(ep.user_obs_waitset, hit, 1, DDS_SECS(2)), 1);
  EXPECT_EQ(hit[0], 1);
  ObservationMap obs{{"keep", {5.0f}}};
  EXPECT_TRUE(takeObservation(ep.user_obs_reader, obs));
  EXPECT_EQ(obs.size(), 8u);
  for (const char* k :
       {"dof_pos", "dof_vel", "dof_tau", "ang_vel", "proj_grav", "lin_vel", "height_map"}) {
    EXPECT_EQ(obs.count(k), 1u) << k;
    EXPECT_TRUE(obs[k].empty()) << k;
  }
  EXPECT_EQ(obs["keep"], FloatVector{5.0f});
  EXPECT_FALSE(takeObservation(ep.user_obs_reader, obs));  // nothing left; map untouched
  EXPECT_EQ(obs.size(), 8u);

  ep.close();
  for (dds_entity_t h : {ep.participant, ep.user_obs_reader, ep.user_obs_waitset}) EXPECT_EQ(h, 0);
  EXPECT_FALSE(ep.initialised);
  EXPECT_LT(dds_get_parent(reader), 0);  // really deleted
  EXPECT_EQ(participantsIn(kDomain), 0u);
  ep.close();  // twice is harmless

  ep.init(config);  // a closed context comes back on its next use
  EXPECT_TRUE(ep.initialised);
  EXPECT_GT(ep.participant, 0);
}

TEST(DdsEndpoints, FailedInitLeavesNothing) {
  DdsConfig config;
  config.domain_id = kDomain + 1;
  config.user_obs.name = "";  // refused by the library: the last topic fails
  DdsEndpoints ep;
  try {
    ep.init(config);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("dds_create_topic(): ", 0), 0u) << e.what();
  }
  EXPECT_FALSE(ep.initialised);
  EXPECT_EQ(ep.participant, 0);
  EXPECT_EQ(ep.user_mode_writer, 0);
  EXPECT_EQ(participantsIn(kDomain + 1), 0u);
}

TEST(DdsEndpoints, RefusedDomainNamesTheParticipant) {
  DdsConfig config;
  config.domain_id = 5000;  // no valid ports
  DdsEndpoints ep;
  try {
    ep.init(config);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              std::string("dds_create_participant: ") +
                  dds_strretcode(-dds_create_participant(5000, nullptr, nullptr)));
  }
  EXPECT_FALSE(ep.initialised);
}

TEST(TakeLatestCommand, DrainsTheReader) {
  DdsConfig config;
  config.domain_id = kDomain + 2;
  config.user_command.depth = 5;  // room for several samples, to see that only the newest counts
  DdsEndpoints ep;
  ep.init(config);
  FloatVector cmd{9.0f};
  EXPECT_FALSE(takeLatestCommand(ep.user_command_reader, cmd));
  EXPECT_EQ(cmd, FloatVector{9.0f});

  const dds_entity_t w = reliableWriter(ep.participant, ep.user_command_topic, true);
  for (int i = 1; i <= 3; ++i) {
    core_dds_UserCommand c{};
    for (int s = 0; s < 8; ++s) c.motion_command[s] = static_cast<float>(i * 10 + s);
    ASSERT_EQ(dds_write(w, &c), 0);
  }
  dds_attach_t hit[1];
  ASSERT_EQ(dds_waitset_wait(ep.user_command_waitset, hit, 1, DDS_SECS(2)), 1);
  EXPECT_TRUE(takeLatestCommand(ep.user_command_reader, cmd));
  EXPECT_EQ(cmd, (FloatVector{30, 31, 32, 33, 34, 35, 36, 37}));
  EXPECT_FALSE(takeLatestCommand(ep.user_command_reader, cmd));
  // The writer going away leaves an invalid sample behind; it is consumed, not delivered.
  dds_delete(w);
  dds_waitset_wait(ep.user_command_waitset, hit, 1, DDS_MSECS(200));
  EXPECT_FALSE(takeLatestCommand(ep.user_command_reader, cmd));
  EXPECT_EQ(cmd, (FloatVector{30, 31, 32, 33, 34, 35, 36, 37}));
}

// The ways a peer's state change reaches a reader as a sample without data.
enum class NoData { Dispose, Unregister, WriterGone };

class TakeObservationInvalid : public ::testing::TestWithParam<NoData> {};

// A sample without data wakes the wait set like any other; taking it must report
// "nothing yet", leave the map alone, and not stand in the way of the next real one.
TEST_P(TakeObservationInvalid, IsConsumedAndTheNextRealOneFollows) {
  DdsConfig config;
  config.domain_id = kDomain + 3;
  DdsEndpoints ep;
  ep.init(config);
  dds_entity_t w = reliableWriter(ep.participant, ep.user_obs_topic);
  ASSERT_GT(w, 0);

  core_dds_UserObservation sample{};
  const FloatVector firstValues{1.0f, 2.0f};
  sample.dof_pos = borrowSequence(firstValues);
  ASSERT_EQ(dds_write(w, &sample), 0);
  dds_attach_t hit[1];
  ASSERT_EQ(dds_waitset_wait(ep.user_obs_waitset, hit, 1, DDS_SECS(2)), 1);
  ObservationMap obs;
  ASSERT_TRUE(takeObservation(ep.user_obs_reader, obs));
  EXPECT_EQ(obs["dof_pos"], firstValues);

  switch (GetParam()) {
    case NoData::Dispose:
      ASSERT_EQ(dds_dispose(w, &sample), 0);
      break;
    case NoData::Unregister:
      ASSERT_EQ(dds_unregister_instance(w, &sample), 0);
      break;
    case NoData::WriterGone:
      ASSERT_EQ(dds_delete(w), 0);
      w = reliableWriter(ep.participant, ep.user_obs_topic);
      ASSERT_GT(w, 0);
      break;
  }
  ASSERT_EQ(dds_waitset_wait(ep.user_obs_waitset, hit, 1, DDS_SECS(2)), 1)
      << "the notice never arrived";
  ObservationMap kept = obs;
  EXPECT_FALSE(takeObservation(ep.user_obs_reader, obs));
  EXPECT_EQ(obs, kept);
  // Consumed, not merely looked at: the reader is empty again.
  EXPECT_EQ(dds_waitset_wait(ep.user_obs_waitset, hit, 1, 0), 0);

  const FloatVector secondValues{7.0f, 8.0f, 9.0f};
  sample.dof_pos = borrowSequence(secondValues);
  ASSERT_EQ(dds_write(w, &sample), 0);
  ASSERT_EQ(dds_waitset_wait(ep.user_obs_waitset, hit, 1, DDS_SECS(2)), 1);
  EXPECT_TRUE(takeObservation(ep.user_obs_reader, obs));
  EXPECT_EQ(obs["dof_pos"], secondValues);
}

INSTANTIATE_TEST_SUITE_P(Notices, TakeObservationInvalid,
                         ::testing::Values(NoData::Dispose, NoData::Unregister, NoData::WriterGone),
                         [](const ::testing::TestParamInfo<NoData>& info) {
                           switch (info.param) {
                             case NoData::Dispose:
                               return std::string("Dispose");
                             case NoData::Unregister:
                               return std::string("Unregister");
                             default:
                               return std::string("WriterGone");
                           }
                         });

}  // namespace
