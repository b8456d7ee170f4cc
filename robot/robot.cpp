#include "robot/robot.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "robot/runtime_state.hpp"

namespace robot {

namespace {

constexpr dds_duration_t kAckTimeout = DDS_SECS(1);
constexpr auto kObsDeadline = std::chrono::seconds(10);
// How long the first write of a Robot waits for the controller's endpoints to be discovered.
// A volatile sample written before that is silently lost while the call reports success, and
// a transient-local one can be replaced by the next before a late reader fetches it.
constexpr dds_duration_t kDiscoveryWait = DDS_SECS(1);
// A get_obs whose waits have no limit still writes its request again after this long without
// an answer. Its single request, or the answer to it, can be lost although the controller is
// there (the controller has not matched us yet, or was restarted meanwhile); waiting for ever
// on that one request would hang the call for good.
constexpr dds_duration_t kUnlimitedWaitResend = DDS_SECS(1);

// The participants of the peers `entity` has matched now: the readers of a writer, or the
// writers of a reader.
std::vector<dds_guid_t> matchedParticipants(dds_entity_t entity, bool is_writer) {
  std::vector<dds_instance_handle_t> handles(8);
  for (;;) {
    const dds_return_t n =
        is_writer ? dds_get_matched_subscriptions(entity, handles.data(), handles.size())
                  : dds_get_matched_publications(entity, handles.data(), handles.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) <= handles.size()) {
      handles.resize(static_cast<size_t>(n));
      break;
    }
    handles.resize(static_cast<size_t>(n));
  }
  std::vector<dds_guid_t> participants;
  for (const dds_instance_handle_t handle : handles) {
    dds_builtintopic_endpoint_t* peer = is_writer
                                            ? dds_get_matched_subscription_data(entity, handle)
                                            : dds_get_matched_publication_data(entity, handle);
    if (peer == nullptr) continue;  // gone meanwhile
    participants.push_back(peer->participant_key);
    dds_builtintopic_free_endpoint(peer);
  }
  return participants;
}

bool contains(const std::vector<dds_guid_t>& guids, const dds_guid_t& guid) {
  return std::any_of(guids.begin(), guids.end(),
                     [&](const dds_guid_t& g) { return std::memcmp(g.v, guid.v, sizeof g.v) == 0; });
}

// The controllers whose readers `writer` has matched now: participants that also write the
// observations `obs_reader` reads. A passive recorder reads every topic and writes none.
std::vector<dds_guid_t> controllersReading(dds_entity_t writer, dds_entity_t obs_reader) {
  const std::vector<dds_guid_t> controllers = matchedParticipants(obs_reader, false);
  std::vector<dds_guid_t> reading;
  for (const dds_guid_t& reader : matchedParticipants(writer, true)) {
    if (contains(controllers, reader)) reading.push_back(reader);
  }
  return reading;
}

bool anyMissingFrom(const std::vector<dds_guid_t>& now, const std::vector<dds_guid_t>& before) {
  return std::any_of(now.begin(), now.end(),
                     [&](const dds_guid_t& guid) { return !contains(before, guid); });
}

struct WaitsetDeleter {
  void operator()(const dds_entity_t* waitset) const { (void)dds_delete(*waitset); }
};

// Waits until `ready()` holds, woken by every change of `entity`'s matches; false when the
// deadline passes first.
template <class Ready>
bool waitForMatches(dds_entity_t participant, dds_entity_t entity, bool is_writer,
                    dds_time_t deadline, const bindings::StopCheck& stop, Ready ready) {
  if (ready()) return true;
  const dds_entity_t waitset = dds_create_waitset(participant);
  if (waitset < 0) return false;
  const std::unique_ptr<const dds_entity_t, WaitsetDeleter> owned(&waitset);
  const uint32_t mask =
      is_writer ? DDS_PUBLICATION_MATCHED_STATUS : DDS_SUBSCRIPTION_MATCHED_STATUS;
  if (dds_set_status_mask(entity, mask) < 0 || dds_waitset_attach(waitset, entity, 0) < 0) {
    return false;
  }
  for (;;) {
    // Cleared before looking, so that the wait blocks until the next change.
    uint32_t status = 0;
    (void)dds_take_status(entity, &status, mask);
    if (ready()) return true;
    if (bindings::waitsetWaitUntil(waitset, nullptr, 0, deadline, stop) <= 0) return false;
  }
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

Robot::Robot(int32_t dds_domain_id, int32_t wait_obs_timeout_ms, bindings::StopCheck stop)
    : stop_(std::move(stop)), wait_obs_timeout_ms_(wait_obs_timeout_ms) {
  runtime_state_path_ = robot::runtimeStatePath(dds_domain_id);
  dds_ = std::make_unique<sdk_dds::DdsContext>();
  last_action_.assign(kJointCount, 0.0f);
  dds_->config = sdk_dds::DdsConfig{};
  dds_->config.domain_id = dds_domain_id;
  // On failure init has already deleted what it created; the unique_ptr frees the rest.
  dds_->ensure();
}

Robot::~Robot() {
  if (!creator_.isCurrent()) {
    // A forked child's copy: the entities are the parent's, and so is the exchange.
    (void)dds_.release();
    return;
  }
  // Nobody can answer a stop request here: the caller's pending signals run afterwards.
  stop_ = nullptr;
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
  waitForControllerReaders();
  const dds_entity_t writer = dds_->endpoints.user_mode_writer;
  const dds_time_t ack_deadline = dds_time() + kAckTimeout;
  const dds_entity_t obs_reader = dds_->endpoints.user_obs_reader;
  if (!enabled && !mode_off_written_ &&
      anyMissingFrom(controllersReading(writer, obs_reader), mode_on_controllers_)) {
    // A controller that matched after user mode on was written (one restarted meanwhile)
    // would fetch the newest mode only now, and off would replace on unseen while it already
    // answered requests: write on again and let it be acknowledged first. Both waits share
    // the one acknowledgement time-out. Once off was written, never: a controller that
    // matched since fetched that off, and on would switch it back into user mode.
    core_dds_UserMode on{true};
    sdk_dds::checkRc(dds_write(writer, &on), "dds_write(user_mode)");
    mode_on_controllers_ = controllersReading(writer, obs_reader);
    (void)bindings::waitForAcks(writer, kAckTimeout, stop_);
  }
  core_dds_UserMode sample{enabled};
  sdk_dds::checkRc(dds_write(writer, &sample), "dds_write(user_mode)");
  if (enabled) {
    // Written, so whatever happens next, finish hands the robot back.
    user_mode_enabled_ = true;
    mode_off_written_ = false;
    mode_on_controllers_ = controllersReading(writer, obs_reader);
    confirmFirstSample(writer, mode_confirmed_);
  } else {
    mode_off_written_ = true;
    confirmFirstSample(writer, mode_confirmed_);
    (void)dds_write_flush(writer);
    const dds_time_t left = ack_deadline - dds_time();
    sdk_dds::checkRc(bindings::waitForAcks(writer, left > 0 ? left : 0, stop_),
                     "dds_wait_for_acks(user_mode)");
  }
}

void Robot::sendAction(const FloatVector& values, bool torque) {
  dds_->ensure();
  waitForControllerReaders();
  core_dds_UserAction sample{};
  sample.value = sdk_dds::borrowSequence(values);
  sample.torque_control = torque;
  sdk_dds::checkRc(dds_write(dds_->endpoints.user_action_writer, &sample),
                   "dds_write(user_action)");
}

void Robot::enableUserMode() {
  creator_.check("Robot");
  switchUserModeOn();
}

void Robot::switchUserModeOn() {
  // Also the first step of doAction and getObs: the controller is in user mode before any
  // action or observation request reaches it.
  if (user_mode_enabled_) return;
  sendUserMode(true);
}

void Robot::finishSequence() {
  sendAction(last_action_, false);
  confirmFirstSample(dds_->endpoints.user_action_writer, action_confirmed_);
  sendUserMode(false);
  user_mode_enabled_ = false;
}

void Robot::finish() {
  creator_.check("Robot");
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
  // Runs before the first write of any kind (user mode, gains, action, request), once per
  // Robot and for 1 s at most: without a controller later calls must not stall, and once
  // discovery is done the checks return at once anyway. Every writer needs the controller's
  // reader before its first sample: a request written earlier is lost, which costs a get_obs
  // without a wait limit a whole resend interval, and user mode on written earlier can be
  // replaced by user mode off before the controller's late reader fetches it. The observation
  // reader needs the controller's writer too, or the answer to the first request can be lost
  // the same way. A stopped wait is taken up again by the next call, within the same budget.
  if (controller_waited_) return;
  if (first_contact_deadline_ == 0) first_contact_deadline_ = dds_time() + kDiscoveryWait;
  (void)waitForController(first_contact_deadline_);
  controller_waited_ = true;
}

bool Robot::waitForController(dds_time_t deadline) {
  // The controller is the participant that writes observations. Other readers of our topics
  // (a passive recorder, a second controller's tools) must not pass for it.
  const sdk_dds::DdsEndpoints& ep = dds_->endpoints;
  std::vector<dds_guid_t> controllers;
  const bool found = waitForMatches(ep.participant, ep.user_obs_reader, false, deadline, stop_, [&] {
    controllers = matchedParticipants(ep.user_obs_reader, false);
    return !controllers.empty();
  });
  if (!found) return false;
  for (const dds_entity_t writer : {ep.user_gains_writer, ep.user_mode_writer,
                                    ep.user_action_writer, ep.user_obs_request_writer}) {
    const bool matched = waitForMatches(ep.participant, writer, true, deadline, stop_, [&] {
      const std::vector<dds_guid_t> readers = matchedParticipants(writer, true);
      return std::any_of(readers.begin(), readers.end(),
                         [&](const dds_guid_t& reader) { return contains(controllers, reader); });
    });
    if (!matched) return false;
  }
  return true;
}

void Robot::confirmFirstSample(dds_entity_t writer, bool& confirmed) {
  // A match on this side does not mean the controller has matched us yet: its reader drops
  // what arrives before that, and a volatile reader never asks for it again (a
  // transient-local one asks only for the newest, which user mode off may already have
  // replaced). So the first sample of each writer waits for the controller's acknowledgement,
  // within what is left of the first-contact budget; once acknowledged, the match holds for
  // every later sample. Requests need no wait of their own: they are written again until
  // answered. Not an error when the budget runs out: without a controller there is nobody to
  // acknowledge.
  if (confirmed) return;
  const dds_time_t left = first_contact_deadline_ - dds_time();
  if (left > 0) (void)bindings::waitForAcks(writer, left, stop_);
  confirmed = true;
}

void Robot::setGains(const FloatVector& kp, const FloatVector& kd) {
  creator_.check("Robot");
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
  confirmFirstSample(dds_->endpoints.user_gains_writer, gains_confirmed_);
}

void Robot::doAction(const FloatVector& action, bool torque_ctrl) {
  creator_.check("Robot");
  if (!gains_set_) throw std::runtime_error("Call setGains() before doAction()");
  switchUserModeOn();
  checkLength(action, "action");
  checkFinite(action, "action");
  sendAction(action, torque_ctrl);
  last_action_ = action;
  confirmFirstSample(dds_->endpoints.user_action_writer, action_confirmed_);
}

ObservationMap Robot::getObs() {
  creator_.check("Robot");
  switchUserModeOn();
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
    const bool unlimited = wait_obs_timeout_ms_ <= 0;
    const dds_duration_t wait =
        unlimited ? kUnlimitedWaitResend
                  : static_cast<dds_duration_t>(wait_obs_timeout_ms_) * DDS_MSECS(1);
    dds_attach_t triggered[1];
    const dds_return_t rc = bindings::waitsetWait(ep.user_obs_waitset, triggered, 1, wait, stop_);
    if (rc != 0) {
      sdk_dds::checkRc(rc, "dds_waitset_wait(user_obs)");
      if (sdk_dds::takeObservation(ep.user_obs_reader, obs)) break;
    }
    // Looked at only after a wait ends, and waits are never shortened to fit. A wait without
    // a limit ends for want of an answer only by its own resend timer, which must not end the
    // call; a wake by a notice (the controller's writer gone) does, once the deadline passed.
    if ((!unlimited || rc != 0) && std::chrono::steady_clock::now() >= deadline) {
      throw std::runtime_error("getObs() timed out before a fresh observation arrived");
    }
  }
  obs.erase("height_map");
  latest_obs_ = std::move(obs);
  return latest_obs_;
}

}  // namespace robot
