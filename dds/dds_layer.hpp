#pragma once

#include <dds/dds.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core_dds.h"

namespace sdk_dds {

using FloatVector = std::vector<float>;
using ObservationMap = std::map<std::string, FloatVector>;

// QoS of one topic, spelled in words so that the catalogue reads like the wire contract.
struct TopicConfig {
  std::string name;
  std::string history;
  int32_t depth;
  std::string reliability;
  std::string durability;
};

// The topic catalogue; a default-constructed record is the one both modules use.
struct DdsConfig {
  int32_t domain_id = 1;
  TopicConfig user_mode{"user_mode", "keep_last", 1, "reliable", "transient_local"};
  TopicConfig user_command{"user_command", "keep_last", 1, "reliable", "volatile"};
  TopicConfig user_action{"user_action", "keep_last", 1, "reliable", "volatile"};
  // The gains in force stay with the writer for readers that join later (a recorder, a
  // viewer), as user mode does; a volatile reader (the controller's) matches it all the same
  // and receives only what is written after it matched.
  TopicConfig user_gains{"user_gains", "keep_last", 1, "reliable", "transient_local"};
  TopicConfig user_obs_request{"user_obs_request", "keep_last", 1, "reliable", "volatile"};
  TopicConfig user_obs{"user_obs", "keep_last", 1, "reliable", "volatile"};
};

// Every entity both modules create, whether or not they use it. 0 means "no entity".
struct DdsEndpoints {
  dds_entity_t participant = 0;
  dds_entity_t user_mode_topic = 0;
  dds_entity_t user_mode_writer = 0;
  dds_entity_t user_command_topic = 0;
  dds_entity_t user_command_reader = 0;
  dds_entity_t user_command_condition = 0;
  dds_entity_t user_command_waitset = 0;
  dds_entity_t user_action_topic = 0;
  dds_entity_t user_action_writer = 0;
  dds_entity_t user_gains_topic = 0;
  dds_entity_t user_gains_writer = 0;
  dds_entity_t user_obs_request_topic = 0;
  dds_entity_t user_obs_request_writer = 0;
  dds_entity_t user_obs_topic = 0;
  dds_entity_t user_obs_reader = 0;
  dds_entity_t user_obs_condition = 0;
  dds_entity_t user_obs_waitset = 0;
  bool initialised = false;

  DdsEndpoints() = default;
  DdsEndpoints(const DdsEndpoints&) = delete;
  DdsEndpoints& operator=(const DdsEndpoints&) = delete;
  ~DdsEndpoints() { close(); }

  // Creates all entities unless they exist; on failure deletes what it created and rethrows.
  void init(const DdsConfig& config);
  // Deletes every entity in a fixed order, children before parents. Never throws.
  void close() noexcept;
};

struct DdsContext {
  DdsConfig config;
  DdsEndpoints endpoints;

  // Makes sure the entities exist; a closed context is rebuilt on its next use.
  void ensure() { endpoints.init(config); }
};

struct QosDeleter {
  void operator()(dds_qos_t* qos) const noexcept { dds_delete_qos(qos); }
};
using QosPtr = std::unique_ptr<dds_qos_t, QosDeleter>;

// Raises std::runtime_error("<label>: <library text>") for a negative return code.
void checkRc(dds_return_t rc, const std::string& label);

QosPtr makeQos(const TopicConfig& cfg);
dds_entity_t createTopic(dds_entity_t participant, const dds_topic_descriptor_t* descriptor,
                         const TopicConfig& cfg);
dds_entity_t createWriter(dds_entity_t participant, dds_entity_t topic, const TopicConfig& cfg);
dds_entity_t createReader(dds_entity_t participant, dds_entity_t topic, const TopicConfig& cfg);

// Takes at most one observation; true when a sample with valid data was stored in `obs`.
bool takeObservation(dds_entity_t reader, ObservationMap& obs);
// Drains the reader; true when `command` now holds the newest valid command's eight floats.
bool takeLatestCommand(dds_entity_t reader, FloatVector& command);

// A sequence record that borrows the caller's floats for the duration of one write.
inline dds_sequence_float borrowSequence(const FloatVector& values) {
  dds_sequence_float seq{};
  seq._maximum = static_cast<uint32_t>(values.size());
  seq._length = static_cast<uint32_t>(values.size());
  seq._buffer = values.empty() ? nullptr : const_cast<float*>(values.data());
  seq._release = false;
  return seq;
}

}  // namespace sdk_dds
