#include "dds/dds_layer.hpp"

#include <stdexcept>

namespace sdk_dds {

void checkRc(dds_return_t rc, const std::string& label) {
  if (rc >= 0) return;
  throw std::runtime_error(label + ": " + dds_strretcode(-rc));
}

QosPtr makeQos(const TopicConfig& cfg) {
  QosPtr qos(dds_create_qos());
  if (!qos) throw std::runtime_error("dds_create_qos failed");
  // Whole-string, case-sensitive words; anything unrecognised selects the fallback
  // rather than failing, so a typo degrades to the safe default.
  if (cfg.history == "keep_all") {
    dds_qset_history(qos.get(), DDS_HISTORY_KEEP_ALL, 0);
  } else {
    dds_qset_history(qos.get(), DDS_HISTORY_KEEP_LAST, cfg.depth >= 1 ? cfg.depth : 1);
  }
  if (cfg.reliability == "best_effort") {
    dds_qset_reliability(qos.get(), DDS_RELIABILITY_BEST_EFFORT, 0);
  } else {
    dds_qset_reliability(qos.get(), DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
  }
  dds_qset_durability(qos.get(), cfg.durability == "transient_local"
                                     ? DDS_DURABILITY_TRANSIENT_LOCAL
                                     : DDS_DURABILITY_VOLATILE);
  return qos;
}

dds_entity_t createTopic(dds_entity_t participant, const dds_topic_descriptor_t* descriptor,
                         const TopicConfig& cfg) {
  dds_entity_t topic = dds_create_topic(participant, descriptor, cfg.name.c_str(), nullptr, nullptr);
  checkRc(topic, "dds_create_topic(" + cfg.name + ")");
  return topic;
}

dds_entity_t createWriter(dds_entity_t participant, dds_entity_t topic, const TopicConfig& cfg) {
  dds_entity_t writer;
  {
    QosPtr qos = makeQos(cfg);
    writer = dds_create_writer(participant, topic, qos.get(), nullptr);
  }
  checkRc(writer, "dds_create_writer(" + cfg.name + ")");
  return writer;
}

dds_entity_t createReader(dds_entity_t participant, dds_entity_t topic, const TopicConfig& cfg) {
  dds_entity_t reader;
  {
    QosPtr qos = makeQos(cfg);
    reader = dds_create_reader(participant, topic, qos.get(), nullptr);
  }
  checkRc(reader, "dds_create_reader(" + cfg.name + ")");
  return reader;
}

namespace {

// A reader with a read condition that is true whenever a sample is held, attached to a
// wait set of its own, so a wait wakes as soon as a sample arrives.
void createWaitableReader(dds_entity_t participant, dds_entity_t topic, const TopicConfig& cfg,
                          dds_entity_t& reader, dds_entity_t& condition, dds_entity_t& waitset) {
  reader = createReader(participant, topic, cfg);
  const dds_entity_t cond = dds_create_readcondition(reader, DDS_ANY_STATE);
  checkRc(cond, "dds_create_readcondition(" + cfg.name + ")");
  condition = cond;
  const dds_entity_t ws = dds_create_waitset(participant);
  checkRc(ws, "dds_create_waitset(" + cfg.name + ")");
  waitset = ws;
  checkRc(dds_waitset_attach(waitset, condition, 1), "dds_waitset_attach(" + cfg.name + ")");
}

void deleteEntity(dds_entity_t& handle) noexcept {
  if (handle != 0) {
    (void)dds_delete(handle);
    handle = 0;
  }
}

}  // namespace

void DdsEndpoints::init(const DdsConfig& config) {
  if (initialised) return;
  try {
    // Each handle is stored only once its creation succeeded (the create helpers throw
    // first), so a failure never leaves a negative code behind for close() to "delete".
    const dds_entity_t pp = dds_create_participant(
        static_cast<dds_domainid_t>(config.domain_id), nullptr, nullptr);
    checkRc(pp, "dds_create_participant");
    participant = pp;
    user_mode_topic = createTopic(participant, &core_dds_UserMode_desc, config.user_mode);
    user_mode_writer = createWriter(participant, user_mode_topic, config.user_mode);

    user_command_topic = createTopic(participant, &core_dds_UserCommand_desc, config.user_command);
    createWaitableReader(participant, user_command_topic, config.user_command,
                         user_command_reader, user_command_condition, user_command_waitset);

    user_action_topic = createTopic(participant, &core_dds_UserAction_desc, config.user_action);
    user_action_writer = createWriter(participant, user_action_topic, config.user_action);

    user_gains_topic = createTopic(participant, &core_dds_UserGains_desc, config.user_gains);
    user_gains_writer = createWriter(participant, user_gains_topic, config.user_gains);

    user_obs_request_topic = createTopic(participant, &core_dds_UserObsRequest_desc, config.user_obs_request);
    user_obs_request_writer = createWriter(participant, user_obs_request_topic, config.user_obs_request);

    user_obs_topic = createTopic(participant, &core_dds_UserObservation_desc, config.user_obs);
    createWaitableReader(participant, user_obs_topic, config.user_obs, user_obs_reader,
                         user_obs_condition, user_obs_waitset);
  } catch (...) {
    close();
    throw;
  }
  initialised = true;
}

void DdsEndpoints::close() noexcept {
  for (dds_entity_t* handle :
       {&user_obs_waitset, &user_obs_condition, &user_obs_reader, &user_command_waitset,
        &user_command_condition, &user_command_reader, &user_obs_request_writer,
        &user_gains_writer, &user_action_writer, &user_mode_writer, &user_obs_topic,
        &user_obs_request_topic, &user_gains_topic, &user_action_topic, &user_command_topic,
        &user_mode_topic, &participant}) {
    deleteEntity(*handle);
  }
  initialised = false;
}

namespace {

// Hands a loan back on every path out of a take, exceptions from copying included.
struct LoanGuard {
  dds_entity_t reader;
  void* sample;
  int32_t count;
  ~LoanGuard() { (void)dds_return_loan(reader, &sample, count); }
};

FloatVector copySequence(const dds_sequence_float& seq) {
  if (seq._length == 0 || seq._buffer == nullptr) return {};
  return FloatVector(seq._buffer, seq._buffer + seq._length);
}

}  // namespace

bool takeObservation(dds_entity_t reader, ObservationMap& obs) {
  void* sample = nullptr;
  dds_sample_info_t info;
  const dds_return_t n = dds_take(reader, &sample, &info, 1, 1);
  if (n < 1) return false;
  LoanGuard loan{reader, sample, n};
  if (info.valid_data && sample != nullptr) {
    const auto* o = static_cast<const core_dds_UserObservation*>(sample);
    obs["dof_pos"] = copySequence(o->dof_pos);
    obs["dof_vel"] = copySequence(o->dof_vel);
    obs["dof_tau"] = copySequence(o->dof_tau);
    obs["ang_vel"] = copySequence(o->ang_vel);
    obs["proj_grav"] = copySequence(o->proj_grav);
    obs["lin_vel"] = copySequence(o->lin_vel);
    obs["height_map"] = copySequence(o->height_map);
    return true;
  }
  return false;
}

bool takeLatestCommand(dds_entity_t reader, FloatVector& command) {
  bool kept = false;
  for (;;) {
    void* sample = nullptr;
    dds_sample_info_t info{};
    const dds_return_t n = dds_take(reader, &sample, &info, 1, 1);
    if (n < 1) break;
    LoanGuard loan{reader, sample, n};
    if (info.valid_data && sample != nullptr) {
      const auto* c = static_cast<const core_dds_UserCommand*>(sample);
      command.assign(std::begin(c->motion_command), std::end(c->motion_command));
      kept = true;
    }
  }
  return kept;
}

}  // namespace sdk_dds
