#include "robot/robot.hpp"

#include <chrono>
#include <cmath>
#include <stdexcept>

#include "robot/runtime_state.hpp"

namespace robot {

namespace {

constexpr dds_duration_t kAckTimeout = DDS_SECS(1);
constexpr auto kObsDeadline = std::chrono::seconds(10);
// How long the first setGains waits for the controller's readers to be discovered. A
// volatile sample written before that is silently lost while the call reports success.
constexpr dds_duration_t kDiscoveryWait = DDS_SECS(1);

// True once `writer` has a matched reader; false when the deadline passes first.
bool waitForMatchedReader(dds_entity_t participant, dds_entity_t writer, dds_time_t deadline) {
  dds_publication_matched_status_t status{};
  if (dds_get_publication_matched_status(writer, &status) < 0) return false;
  if (status.current_count > 0) return true;
  const dds_entity_t waitset = dds_create_waitset(participant);
  if (waitset < 0) return false;
  bool matched = false;
  if (dds_set_status_mask(writer, DDS_PUBLICATION_MATCHED_STATUS) >= 0 &&
      dds_waitset_attach(waitset, writer, 0) >= 0) {
    while (dds_get_publication_matched_status(writer, &status) >= 0) {
      if (status.current_count > 0) {
        matched = true;
        break;
      }
      if (dds_waitset_wait_until(waitset, nullptr, 0, deadline) <= 0) break;
    }
  }
  (void)dds_delete(waitset);
  return matched;
}

// NaN or an infinity (a value beyond the float range included) must never reach a physical
// controller, nor the runtime state file that configures the next Joystick.
void checkFinite(const FloatVector& v, const std::string& name) {
  for (size_t i = 0; i < v.size(); ++i) {
    if (!std::isfinite(v[i])) {
      throw std::runtime_error(name + " has non-finite value at index " + std::to_string(i));
    }
  }
}

}  // namespace

Robot::Robot(int32_t dds_domain_id, int32_t wait_obs_timeout_ms)
    : wait_obs_timeout_ms_(wait_obs_timeout_ms) {
  runtime_state_path_ = robot::runtimeStatePath(dds_domain_id);
  dds_ = std::make_unique<sdk_dds::DdsContext>();
  last_action_.assign(kJointCount, 0.0f);
  dds_->config = sdk_dds::DdsConfig{};
  dds_->config.domain_id = dds_domain_id;
  // On failure init has already deleted what it created; the unique_ptr frees the rest.
  dds_->ensure();
}

Robot::~Robot() {
  if (user_mode_enabled_) {
    try {
      finishSequence();
    } catch (...) {
      // A destructor must not throw; the controller falls back on its own when the
      // participant disappears.
    }
  }
  if (dds_) dds_->endpoints.close();
}

void Robot::sendUserMode(bool enabled) {
  dds_->ensure();
  core_dds_UserMode sample{enabled};
  sdk_dds::checkRc(dds_write(dds_->endpoints.user_mode_writer, &sample), "dds_write(user_mode)");
  if (!enabled) {
    (void)dds_write_flush(dds_->endpoints.user_mode_writer);
    sdk_dds::checkRc(dds_wait_for_acks(dds_->endpoints.user_mode_writer, kAckTimeout),
                     "dds_wait_for_acks(user_mode)");
  }
}

void Robot::sendAction(const FloatVector& values, bool torque) {
  dds_->ensure();
  core_dds_UserAction sample{};
  sample.value = sdk_dds::borrowSequence(values);
  sample.torque_control = torque;
  sdk_dds::checkRc(dds_write(dds_->endpoints.user_action_writer, &sample),
                   "dds_write(user_action)");
}

void Robot::enableUserMode() {
  // Also the first step of doAction and getObs: the controller is in user mode before any
  // action or observation request reaches it.
  if (user_mode_enabled_) return;
  sendUserMode(true);
  user_mode_enabled_ = true;
}

void Robot::finishSequence() {
  sendAction(last_action_, false);
  sendUserMode(false);
  user_mode_enabled_ = false;
}

void Robot::finish() {
  if (!user_mode_enabled_) return;
  finishSequence();
}

void Robot::checkLength(const FloatVector& v, const std::string& name) {
  if (v.size() != kJointCount) {
    throw std::runtime_error(name + " length mismatch: expected " + std::to_string(kJointCount) +
                             ", got " + std::to_string(v.size()));
  }
}

void Robot::waitForControllerReaders() {
  // Only the first call waits, and at most once per Robot: without a controller later calls
  // must not stall, and once discovery is done the checks return at once anyway. All four
  // writers are included so that the first action after the gains is not lost either; their
  // matches usually complete together with the gains writer's.
  if (controller_waited_) return;
  controller_waited_ = true;
  const sdk_dds::DdsEndpoints& ep = dds_->endpoints;
  const dds_time_t deadline = dds_time() + kDiscoveryWait;
  for (const dds_entity_t writer :
       {ep.user_gains_writer, ep.user_mode_writer, ep.user_action_writer,
        ep.user_obs_request_writer}) {
    if (!waitForMatchedReader(ep.participant, writer, deadline)) return;
  }
}

void Robot::setGains(const FloatVector& kp, const FloatVector& kd) {
  checkLength(kp, "kp");
  checkLength(kd, "kd");
  checkFinite(kp, "kp");
  checkFinite(kd, "kd");
  dds_->ensure();
  waitForControllerReaders();
  core_dds_UserGains sample{};
  sample.kp = sdk_dds::borrowSequence(kp);
  sample.kd = sdk_dds::borrowSequence(kd);
  sdk_dds::checkRc(dds_write(dds_->endpoints.user_gains_writer, &sample), "dds_write(user_gains)");
  writeRuntimeState(runtime_state_path_, kp, kd);
  gains_set_ = true;
}

void Robot::doAction(const FloatVector& action, bool torque_ctrl) {
  if (!gains_set_) throw std::runtime_error("Call setGains() before doAction()");
  enableUserMode();
  checkLength(action, "action");
  checkFinite(action, "action");
  sendAction(action, torque_ctrl);
  last_action_ = action;
}

ObservationMap Robot::getObs() {
  enableUserMode();
  dds_->ensure();
  {
    // Only an observation taken after this drain counts as fresh.
    ObservationMap stale;
    while (sdk_dds::takeObservation(dds_->endpoints.user_obs_reader, stale)) {
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + kObsDeadline;
  ObservationMap obs;
  const core_dds_UserObsRequest request{true};
  for (;;) {
    dds_->ensure();
    const sdk_dds::DdsEndpoints& ep = dds_->endpoints;
    sdk_dds::checkRc(dds_write(ep.user_obs_request_writer, &request),
                     "dds_write(user_obs_request)");
    if (sdk_dds::takeObservation(ep.user_obs_reader, obs)) break;
    const dds_duration_t wait = wait_obs_timeout_ms_ > 0
                                    ? static_cast<dds_duration_t>(wait_obs_timeout_ms_) * DDS_MSECS(1)
                                    : DDS_INFINITY;
    dds_attach_t triggered[1];
    const dds_return_t rc = dds_waitset_wait(ep.user_obs_waitset, triggered, 1, wait);
    if (rc != 0) {
      sdk_dds::checkRc(rc, "dds_waitset_wait(user_obs)");
      if (sdk_dds::takeObservation(ep.user_obs_reader, obs)) break;
    }
    // Looked at only after a wait ends, and waits are never shortened to fit.
    if (std::chrono::steady_clock::now() >= deadline) {
      throw std::runtime_error("getObs() timed out before a fresh observation arrived");
    }
  }
  obs.erase("height_map");
  latest_obs_ = std::move(obs);
  return latest_obs_;
}

}  // namespace robot
