// The endpoint layer against the real library: QoS from words, create-all and delete-all,
// and the two takes, with a writer in the same process as the peer.
#include <dds/dds.h>

#include <string>

#include "check.hpp"
#include "dds/dds_layer.hpp"

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

void qosFromWords() {
  QosWords w = read({"t", "KEEP_ALL", 5, "Reliable", ""});
  CHECK_EQ(w.history, DDS_HISTORY_KEEP_LAST);
  CHECK_EQ(w.depth, 5);
  CHECK_EQ(w.reliability, DDS_RELIABILITY_RELIABLE);
  CHECK_EQ(w.blocking, DDS_SECS(1));
  CHECK_EQ(w.durability, DDS_DURABILITY_VOLATILE);

  w = read({"t", "keep_all", 5, "best_effort", "transient_local"});
  CHECK_EQ(w.history, DDS_HISTORY_KEEP_ALL);
  CHECK_EQ(w.reliability, DDS_RELIABILITY_BEST_EFFORT);
  CHECK_EQ(w.blocking, 0);
  CHECK_EQ(w.durability, DDS_DURABILITY_TRANSIENT_LOCAL);

  for (int32_t depth : {0, -3}) {
    CHECK_EQ(read({"t", "keep_last", depth, "reliable", "volatile"}).depth, 1);
  }
  CHECK_EQ(read({"t", "keep_last", 7, "reliable", "Transient_Local"}).durability,
           DDS_DURABILITY_VOLATILE);
}

void checkRcLabels() {
  checkRc(0, "x");
  checkRc(3, "x");
  CHECK_THROWS_MSG(checkRc(DDS_RETCODE_TIMEOUT, "dds_wait_for_acks(user_mode)"),
                   std::runtime_error,
                   std::string("dds_wait_for_acks(user_mode): ") + dds_strretcode(DDS_RETCODE_TIMEOUT));
}

size_t participantsIn(int32_t domain) {
  dds_entity_t found[8];
  const dds_return_t n = dds_lookup_participant(static_cast<dds_domainid_t>(domain), found, 8);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

void createAllAndDeleteAll() {
  DdsConfig config;
  CHECK_EQ(config.domain_id, 1);
  config.domain_id = kDomain;
  DdsEndpoints ep;
  ep.close();  // never initialised: nothing to do
  ep.init(config);
  CHECK(ep.initialised);
  const dds_entity_t handles[] = {ep.participant, ep.user_mode_topic, ep.user_mode_writer,
                                  ep.user_command_topic, ep.user_command_reader,
                                  ep.user_command_condition, ep.user_command_waitset,
                                  ep.user_action_topic, ep.user_action_writer,
                                  ep.user_gains_topic, ep.user_gains_writer,
                                  ep.user_obs_request_topic, ep.user_obs_request_writer,
                                  ep.user_obs_topic, ep.user_obs_reader, ep.user_obs_condition,
                                  ep.user_obs_waitset};
  for (dds_entity_t h : handles) CHECK(h > 0);
  const dds_entity_t reader = ep.user_obs_reader;
  ep.init(config);  // already initialised: creates nothing
  CHECK_EQ(ep.user_obs_reader, reader);
  CHECK_EQ(participantsIn(kDomain), 1u);

  // Attached conditions and the right readers: the wait set wakes for its own topic.
  dds_qos_t* wq = dds_create_qos();
  dds_qset_reliability(wq, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
  const dds_entity_t obs_writer = dds_create_writer(ep.participant, ep.user_obs_topic, wq, nullptr);
  dds_delete_qos(wq);
  core_dds_UserObservation empty{};
  CHECK(dds_write(obs_writer, &empty) == 0);
  dds_attach_t hit[1];
  CHECK_EQ(dds_waitset_wait(ep.user_obs_waitset, hit, 1, DDS_SECS(2)), 1);
  CHECK_EQ(hit[0], 1);
  ObservationMap obs{{"keep", {5.0f}}};
  CHECK(takeObservation(ep.user_obs_reader, obs));
  CHECK_EQ(obs.size(), 8u);
  for (const char* k : {"dof_pos", "dof_vel", "dof_tau", "ang_vel", "proj_grav", "lin_vel",
                        "height_map"}) {
    CHECK(obs.count(k) == 1 && obs[k].empty());
  }
  CHECK(obs["keep"] == FloatVector{5.0f});
  CHECK(!takeObservation(ep.user_obs_reader, obs));  // nothing left; map untouched
  CHECK_EQ(obs.size(), 8u);

  ep.close();
  for (dds_entity_t h : {ep.participant, ep.user_obs_reader, ep.user_obs_waitset}) CHECK_EQ(h, 0);
  CHECK(!ep.initialised);
  CHECK(dds_get_parent(reader) < 0);  // really deleted
  CHECK_EQ(participantsIn(kDomain), 0u);
  ep.close();  // twice is harmless

  ep.init(config);  // a closed context comes back on its next use
  CHECK(ep.initialised && ep.participant > 0);
}

void failedInitLeavesNothing() {
  DdsConfig config;
  config.domain_id = kDomain + 1;
  config.user_obs.name = "";  // refused by the library: the last topic fails
  DdsEndpoints ep;
  bool thrown = false;
  try {
    ep.init(config);
  } catch (const std::runtime_error& e) {
    thrown = true;
    CHECK(std::string(e.what()).rfind("dds_create_topic(): ", 0) == 0);
  }
  CHECK(thrown);
  CHECK(!ep.initialised);
  CHECK_EQ(ep.participant, 0);
  CHECK_EQ(ep.user_mode_writer, 0);
  CHECK_EQ(participantsIn(kDomain + 1), 0u);

  config = DdsConfig{};
  config.domain_id = 5000;  // no valid ports
  CHECK_THROWS_MSG(ep.init(config), std::runtime_error,
                   std::string("dds_create_participant: ") +
                       dds_strretcode(-dds_create_participant(5000, nullptr, nullptr)));
}

void latestCommandDrainsTheReader() {
  DdsConfig config;
  config.domain_id = kDomain + 2;
  config.user_command.depth = 5;  // room for several samples, to see that only the newest counts
  DdsEndpoints ep;
  ep.init(config);
  FloatVector cmd{9.0f};
  CHECK(!takeLatestCommand(ep.user_command_reader, cmd));
  CHECK(cmd == FloatVector{9.0f});

  dds_qos_t* wq = dds_create_qos();
  dds_qset_reliability(wq, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
  dds_qset_history(wq, DDS_HISTORY_KEEP_ALL, 0);
  const dds_entity_t w = dds_create_writer(ep.participant, ep.user_command_topic, wq, nullptr);
  dds_delete_qos(wq);
  for (int i = 1; i <= 3; ++i) {
    core_dds_UserCommand c{};
    for (int s = 0; s < 8; ++s) c.motion_command[s] = static_cast<float>(i * 10 + s);
    CHECK(dds_write(w, &c) == 0);
  }
  dds_attach_t hit[1];
  CHECK_EQ(dds_waitset_wait(ep.user_command_waitset, hit, 1, DDS_SECS(2)), 1);
  CHECK(takeLatestCommand(ep.user_command_reader, cmd));
  CHECK(cmd == (FloatVector{30, 31, 32, 33, 34, 35, 36, 37}));
  CHECK(!takeLatestCommand(ep.user_command_reader, cmd));
  // The writer going away leaves an invalid sample behind; it is consumed, not delivered.
  dds_delete(w);
  dds_waitset_wait(ep.user_command_waitset, hit, 1, DDS_MSECS(200));
  CHECK(!takeLatestCommand(ep.user_command_reader, cmd));
  CHECK(cmd == (FloatVector{30, 31, 32, 33, 34, 35, 36, 37}));
}

}  // namespace

int main() {
  qosFromWords();
  checkRcLabels();
  createAllAndDeleteAll();
  failedInitLeavesNothing();
  latestCommandDrainsTheReader();
  return check::finish("dds_layer_test");
}
