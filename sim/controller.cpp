#include "sim/controller.hpp"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cmath>
#include <functional>
#include <utility>

namespace sim {

namespace {

// Deep enough that a burst (many requests, or actions faster than stdout drains) is never
// overwritten before it is taken: every received sample is reported.
constexpr int32_t kSimReaderDepth = 64;
constexpr uint32_t kTakeBatch = 64;
constexpr dds_attach_t kObsRequestAttach = 1;
constexpr dds_attach_t kInputAttach = 2;
constexpr dds_attach_t kGuardAttach = 100;
constexpr dds_attach_t kServiceAttach = 101;
constexpr double kMaxGamepadRate = 100000.0;

Clock::duration periodOf(double rate_hz) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate_hz));
}

std::array<float, 8> gamepadValues(double t) {
  constexpr double kTwoPi = 6.283185307179586;
  // Slow sweeps well inside [-1, 1], each stick at its own rate, buttons toggling every 2 s.
  const float button = std::fmod(t, 4.0) < 2.0 ? 0.0f : 1.0f;
  return {static_cast<float>(0.5 * std::sin(kTwoPi * 0.20 * t)),
          static_cast<float>(0.8 * std::sin(kTwoPi * 0.10 * t)),
          static_cast<float>(0.3 * std::cos(kTwoPi * 0.15 * t)),
          static_cast<float>(0.2 * std::sin(kTwoPi * 0.05 * t)),
          0.0f,
          0.0f,
          button,
          1.0f - button};
}

void onSubscriptionMatched(dds_entity_t, const dds_subscription_matched_status_t status,
                           void* arg) {
  static_cast<MatchTracker*>(arg)->update(status.current_count);
}

void onPublicationMatched(dds_entity_t, const dds_publication_matched_status_t status, void* arg) {
  static_cast<MatchTracker*>(arg)->update(status.current_count);
}

// Calls handle(sample, info) for every valid sample taken.
template <typename Sample, typename Handler>
void takeEach(dds_entity_t reader, Handler&& handle) {
  std::array<void*, kTakeBatch> samples{};
  std::array<dds_sample_info_t, kTakeBatch> infos;
  for (;;) {
    samples[0] = nullptr;  // a null first slot asks for a loan
    const dds_return_t n = dds_take(reader, samples.data(), infos.data(), kTakeBatch, kTakeBatch);
    if (n <= 0) return;
    for (dds_return_t i = 0; i < n; ++i) {
      const auto idx = static_cast<std::size_t>(i);
      // Samples without data (a writer went away) are state changes, not samples.
      if (infos[idx].valid_data && samples[idx] != nullptr) {
        handle(*static_cast<const Sample*>(samples[idx]), infos[idx]);
      }
    }
    (void)dds_return_loan(reader, samples.data(), n);
    if (n < static_cast<dds_return_t>(kTakeBatch)) return;
  }
}

struct ListenerDeleter {
  void operator()(dds_listener_t* listener) const noexcept { dds_delete_listener(listener); }
};
using ListenerPtr = std::unique_ptr<dds_listener_t, ListenerDeleter>;

std::vector<float> copyOf(const dds_sequence_float& seq) {
  return seq._buffer == nullptr ? std::vector<float>()
                                : std::vector<float>(seq._buffer, seq._buffer + seq._length);
}

// For a handler only; release false so DDS never frees our storage.
dds_sequence_float borrow(std::vector<float>& values) {
  dds_sequence_float seq{};
  seq._maximum = seq._length = static_cast<uint32_t>(values.size());
  seq._buffer = values.empty() ? nullptr : values.data();
  seq._release = false;
  return seq;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// MatchTracker

void MatchTracker::reportIfChangedUnlocked() noexcept {
  if (!*ready || current == reported) return;
  try {
    Json event = makeEvent("matched");
    event["topic"] = topic;
    event["count"] = current;
    sink->emitUnlocked(event);
    reported = current;
  } catch (...) {
  }
}

void MatchTracker::update(int32_t count) noexcept {
  // Runs on DDS threads (or inside an entity's creation); it must not throw into C code.
  try {
    sink->locked([&] {
      current = count;
      reportIfChangedUnlocked();
    });
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------------------------
// Construction

Controller::Controller(const Options& options, EventSink& sink, Inbox& inbox)
    : options_(options),
      sink_(sink),
      inbox_(inbox),
      simulation_(options_.simulation, sink_,
                  [this](const PhysicsStats& stats) { reportPhysics(stats); }),
      commands_(sink_) {
  addCommands();
  const std::array<const char*, kTrackerCount> names{"user_mode",        "user_action",
                                                     "user_gains",       "user_obs_request",
                                                     "user_obs",         "user_command"};
  for (std::size_t i = 0; i < kTrackerCount; ++i) {
    trackers_[i].topic = names[i];
    trackers_[i].sink = &sink_;
    trackers_[i].ready = &ready_;
  }
  createEntities();
  inbox_.setGuard(guard_.get());
  gamepad_period_ = periodOf(options_.gamepad_rate_hz);
  if (options_.gamepad_demo) {
    gamepad_on_ = true;
    gamepad_start_ = gamepad_next_ = Clock::now();
  }
}

Controller::~Controller() {
  // The input thread may still push; it must not touch a guard that is being deleted.
  inbox_.setGuard(0);
}

dds_entity_t Controller::createTopic(const dds_topic_descriptor_t* descriptor, const char* name) {
  const dds_entity_t topic = dds_create_topic(participant_.get(), descriptor, name, nullptr, nullptr);
  sdk_dds::checkRc(topic, std::string("dds_create_topic(") + name + ")");
  return topic;
}

Entity Controller::createReader(dds_entity_t topic, const sdk_dds::TopicConfig& cfg,
                                MatchTracker& tracker, dds_on_data_available_fn on_data) {
  // The listener goes in at creation: peers already known are matched during the create
  // call itself, and a listener set afterwards would miss them.
  ListenerPtr listener(dds_create_listener(nullptr));
  dds_lset_subscription_matched_arg(listener.get(), onSubscriptionMatched, &tracker, true);
  if (on_data != nullptr) dds_lset_data_available_arg(listener.get(), on_data, this, true);
  const sdk_dds::QosPtr qos = sdk_dds::makeQos(cfg);
  const dds_entity_t reader = dds_create_reader(participant_.get(), topic, qos.get(), listener.get());
  sdk_dds::checkRc(reader, "dds_create_reader(" + cfg.name + ")");
  return Entity(reader);
}

Entity Controller::createWriter(dds_entity_t topic, const sdk_dds::TopicConfig& cfg,
                                MatchTracker& tracker) {
  ListenerPtr listener(dds_create_listener(nullptr));
  dds_lset_publication_matched_arg(listener.get(), onPublicationMatched, &tracker, true);
  const sdk_dds::QosPtr qos = sdk_dds::makeQos(cfg);
  const dds_entity_t writer = dds_create_writer(participant_.get(), topic, qos.get(), listener.get());
  sdk_dds::checkRc(writer, "dds_create_writer(" + cfg.name + ")");
  return Entity(writer);
}

void Controller::createEntities() {
  const dds_entity_t participant =
      dds_create_participant(static_cast<dds_domainid_t>(options_.domain), nullptr, nullptr);
  sdk_dds::checkRc(participant, "dds_create_participant");
  participant_ = Entity(participant);

  // The SDK's catalogue, so QoS and names match by construction; only the depth of our own
  // readers differs.
  const sdk_dds::DdsConfig catalogue;
  const auto readerCfg = [](sdk_dds::TopicConfig cfg) {
    cfg.depth = kSimReaderDepth;
    return cfg;
  };
  mode_topic_ = Entity(createTopic(&core_dds_UserMode_desc, "user_mode"));
  command_topic_ = Entity(createTopic(&core_dds_UserCommand_desc, "user_command"));
  action_topic_ = Entity(createTopic(&core_dds_UserAction_desc, "user_action"));
  gains_topic_ = Entity(createTopic(&core_dds_UserGains_desc, "user_gains"));
  obs_request_topic_ = Entity(createTopic(&core_dds_UserObsRequest_desc, "user_obs_request"));
  obs_topic_ = Entity(createTopic(&core_dds_UserObservation_desc, "user_obs"));

  // Mode, action and gains are handled by listeners, on the DDS thread that delivers them,
  // before that thread acknowledges them: once a peer's write is acknowledged (Robot.finish
  // waits for that), its sample has been reported. Observation requests go through the
  // wait set below instead, so that answering never depends on a listener.
  // In lockstep their order decides the trajectory, so the main loop takes them all, and
  // keeps every action however fast they come (each one is a control period to step).
  const bool lockstep = simulation_.lockstep();
  const auto listen = [lockstep](dds_on_data_available_fn on_data) {
    return lockstep ? nullptr : on_data;
  };
  sdk_dds::TopicConfig action_cfg = readerCfg(catalogue.user_action);
  if (lockstep) action_cfg.history = "keep_all";
  mode_reader_ = createReader(mode_topic_.get(), readerCfg(catalogue.user_mode),
                              trackers_[kTrackMode], listen(&Controller::onModeData));
  action_reader_ = createReader(action_topic_.get(), action_cfg, trackers_[kTrackAction],
                                listen(&Controller::onActionData));
  // Gains as the robot's controller reads them: volatile, so a restarted controller does not
  // take up the gains a program set for its predecessor, whatever the SDK's writer keeps.
  sdk_dds::TopicConfig gains_cfg = readerCfg(catalogue.user_gains);
  gains_cfg.durability = "volatile";
  gains_reader_ = createReader(gains_topic_.get(), gains_cfg,
                               trackers_[kTrackGains], listen(&Controller::onGainsData));
  obs_request_reader_ = createReader(obs_request_topic_.get(),
                                     readerCfg(catalogue.user_obs_request),
                                     trackers_[kTrackObsRequest], nullptr);
  obs_writer_ = createWriter(obs_topic_.get(), catalogue.user_obs, trackers_[kTrackObs]);
  command_writer_ = createWriter(command_topic_.get(), catalogue.user_command,
                                 trackers_[kTrackCommand]);

  // Owned by the library rather than our participant: the service's request reader lives in
  // the ROS 2 participant, possibly on another domain, and must wake the same wait.
  const dds_entity_t waitset = dds_create_waitset(DDS_CYCLONEDDS_HANDLE);
  sdk_dds::checkRc(waitset, "dds_create_waitset");
  waitset_ = Entity(waitset);
  const dds_entity_t cond = dds_create_readcondition(obs_request_reader_.get(), DDS_ANY_STATE);
  sdk_dds::checkRc(cond, "dds_create_readcondition(user_obs_request)");
  obs_request_condition_ = Entity(cond);
  sdk_dds::checkRc(dds_waitset_attach(waitset_.get(), cond, kObsRequestAttach),
                   "dds_waitset_attach(user_obs_request)");
  if (lockstep) {
    for (const Entity* reader : {&mode_reader_, &action_reader_, &gains_reader_}) {
      const dds_entity_t input = dds_create_readcondition(reader->get(), DDS_ANY_STATE);
      sdk_dds::checkRc(input, "dds_create_readcondition");
      input_conditions_.emplace_back(input);
      sdk_dds::checkRc(dds_waitset_attach(waitset_.get(), input, kInputAttach),
                       "dds_waitset_attach");
    }
  }
  const dds_entity_t guard = dds_create_guardcondition(participant_.get());
  sdk_dds::checkRc(guard, "dds_create_guardcondition");
  guard_ = Entity(guard);
  sdk_dds::checkRc(dds_waitset_attach(waitset_.get(), guard, kGuardAttach), "dds_waitset_attach");

  service_ = std::make_unique<ParamService>(options_.service_mode, options_.reject_message,
                                            options_.ros_domain, sink_);
  service_->attachTo(waitset_.get(), kServiceAttach);
}

void Controller::announceReady() {
  sink_.locked([&] {
    Json event = makeEvent("ready");
    event["domain"] = options_.domain;
    event["pid"] = static_cast<int64_t>(getpid());
    event["ros_domain"] = service_->rosDomain();
    event["service_mode"] = serviceModeText(service_->mode());
    sink_.emitUnlocked(event);
    ready_ = true;
    for (MatchTracker& tracker : trackers_) tracker.reportIfChangedUnlocked();
  });
}

// ---------------------------------------------------------------------------------------------
// Main loop

dds_duration_t Controller::waitTimeout() const {
  if (!gamepad_on_) return DDS_INFINITY;
  const auto left = gamepad_next_ - Clock::now();
  return std::max<dds_duration_t>(
      0, std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
}

std::string Controller::run() {
  std::array<dds_attach_t, 6> triggered{};
  while (quit_reason_.empty()) {
    const dds_return_t n =
        dds_waitset_wait(waitset_.get(), triggered.data(), triggered.size(), waitTimeout());
    if (n < 0) {
      sink_.error(std::string("dds_waitset_wait: ") + dds_strretcode(-n));
      return "error";
    }
    bool inbox_woke = false;
    bool service_woke = false;
    bool requests_woke = false;
    bool inputs_woke = false;
    for (dds_return_t i = 0; i < n && i < static_cast<dds_return_t>(triggered.size()); ++i) {
      const dds_attach_t which = triggered[static_cast<std::size_t>(i)];
      inbox_woke |= which == kGuardAttach;
      service_woke |= which == kServiceAttach;
      requests_woke |= which == kObsRequestAttach;
      inputs_woke |= which == kInputAttach;
    }
    // Actions before requests, so that an answer follows every action received before it.
    if (inputs_woke || (requests_woke && simulation_.lockstep())) serviceInputsInOrder();
    if (requests_woke) serviceObsRequests();
    if (service_woke) serviceRequests();
    if (inbox_woke) serviceInbox();
    if (gamepad_on_ && Clock::now() >= gamepad_next_) gamepadTick();
  }
  return quit_reason_;
}

void Controller::serviceObsRequests() {
  takeEach<core_dds_UserObsRequest>(obs_request_reader_.get(),
                                    [this](const core_dds_UserObsRequest& sample,
                                           const dds_sample_info_t& info) {
                                      try {
                                        onObsRequest(sample, info.source_timestamp);
                                      } catch (const std::exception& e) {
                                        sink_.error(e.what());
                                      }
                                    });
}

// Listener entry points: C callbacks on DDS threads, so nothing may escape them.
template <typename Sample, void (Controller::*Handle)(const Sample&)>
void Controller::onData(dds_entity_t reader, void* arg) {
  auto* self = static_cast<Controller*>(arg);
  try {
    takeEach<Sample>(reader, [self](const Sample& sample, const dds_sample_info_t&) {
      try {
        (self->*Handle)(sample);
      } catch (const std::exception& e) {
        self->sink_.error(e.what());
      }
    });
  } catch (...) {
  }
}

// Lockstep: the received mode, gains and actions in the order their writers wrote them (the
// SDK writes all three from one clock), whichever reader the samples landed in first.
void Controller::serviceInputsInOrder() {
  struct Input {
    dds_time_t stamp;
    int topic;
    std::function<void()> apply;
  };
  std::vector<Input> inputs;
  takeEach<core_dds_UserMode>(mode_reader_.get(), [&](const core_dds_UserMode& sample,
                                                      const dds_sample_info_t& info) {
    inputs.push_back({info.source_timestamp, 0, [this, sample] { onMode(sample); }});
  });
  takeEach<core_dds_UserGains>(gains_reader_.get(), [&](const core_dds_UserGains& sample,
                                                        const dds_sample_info_t& info) {
    inputs.push_back({info.source_timestamp, 1,
                      [this, kp = copyOf(sample.kp), kd = copyOf(sample.kd)]() mutable {
                        core_dds_UserGains copy{};
                        copy.kp = borrow(kp);
                        copy.kd = borrow(kd);
                        onGains(copy);
                      }});
  });
  takeEach<core_dds_UserAction>(action_reader_.get(), [&](const core_dds_UserAction& sample,
                                                          const dds_sample_info_t& info) {
    const bool torque = sample.torque_control;
    auto apply = [this, value = copyOf(sample.value), torque]() mutable {
      core_dds_UserAction copy{};
      copy.value = borrow(value);
      copy.torque_control = torque;
      onAction(copy);
    };
    inputs.push_back({info.source_timestamp, 2, std::move(apply)});
  });
  std::stable_sort(inputs.begin(), inputs.end(), [](const Input& a, const Input& b) {
    return a.stamp != b.stamp ? a.stamp < b.stamp : a.topic < b.topic;
  });
  for (const Input& input : inputs) {
    try {
      input.apply();
    } catch (const std::exception& e) {
      sink_.error(e.what());
    }
  }
}

void Controller::onModeData(dds_entity_t reader, void* arg) {
  onData<core_dds_UserMode, &Controller::onMode>(reader, arg);
}

void Controller::onActionData(dds_entity_t reader, void* arg) {
  onData<core_dds_UserAction, &Controller::onAction>(reader, arg);
}

void Controller::onGainsData(dds_entity_t reader, void* arg) {
  onData<core_dds_UserGains, &Controller::onGains>(reader, arg);
}

void Controller::onMode(const core_dds_UserMode& sample) {
  simulation_.userMode(sample.enabled);
  Json event = makeEvent("sample");
  event["topic"] = "user_mode";
  event["enabled"] = sample.enabled;
  sink_.emit(event);
}

void Controller::onAction(const core_dds_UserAction& sample) {
  simulation_.action(sample.value._buffer, sample.value._length, sample.torque_control);
  Json event = makeEvent("sample");
  event["topic"] = "user_action";
  event["value"] = floatsToJson(sample.value._buffer, sample.value._length);
  event["torque_control"] = sample.torque_control;
  sink_.emit(event);
}

void Controller::onGains(const core_dds_UserGains& sample) {
  simulation_.gains(sample.kp._buffer, sample.kp._length, sample.kd._buffer, sample.kd._length);
  Json event = makeEvent("sample");
  event["topic"] = "user_gains";
  event["kp"] = floatsToJson(sample.kp._buffer, sample.kp._length);
  event["kd"] = floatsToJson(sample.kd._buffer, sample.kd._length);
  sink_.emit(event);
}

void Controller::onObsRequest(const core_dds_UserObsRequest& sample, dds_time_t written) {
  const bool answer = answer_obs_ && simulation_.answers(written);
  if (options_.trace_obs) {
    // Reported before the answer leaves, so a peer holding its answer finds the request
    // (and the answer) already reported. Tracing costs latency; benchmarks run without it.
    Json event = makeEvent("sample");
    event["topic"] = "user_obs_request";
    event["request"] = sample.request;
    sink_.emit(event);
    if (answer) {
      Json published = makeEvent("published");
      published["topic"] = "user_obs";
      sink_.emit(published);
    }
  }
  if (!answer) return;
  simulation_.beforeAnswer();
  simulation_.answering(dds_time());
  writeObservation(fixed_);
}

void Controller::serviceRequests() {
  try {
    service_->handleRequests();
  } catch (const std::exception& e) {
    sink_.error(e.what());
  }
}

// Runs on the physics thread, once a second; held back until "ready" like matched counts.
void Controller::reportPhysics(const PhysicsStats& stats) noexcept {
  try {
    Json event = makeEvent("physics");
    event["sim_time"] = stats.sim_time;
    event["real_time_factor"] = stats.real_time_factor;
    event["steps"] = stats.steps;
    event["dropped_steps"] = stats.dropped_steps;
    event["on_stand"] = stats.on_stand;
    sink_.locked([&] {
      if (ready_) sink_.emitUnlocked(event);
    });
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------------------------
// Observations

void Controller::fillObservation(const ObsOverrides& overrides, core_dds_UserObservation& out) {
  simulation_.observe(model_obs_);
  const std::array<std::pair<const float*, std::size_t>, kObsFieldCount> model_fields{{
      {model_obs_.dof_pos.data(), model_obs_.dof_pos.size()},
      {model_obs_.dof_vel.data(), model_obs_.dof_vel.size()},
      {model_obs_.dof_tau.data(), model_obs_.dof_tau.size()},
      {model_obs_.ang_vel.data(), model_obs_.ang_vel.size()},
      {model_obs_.proj_grav.data(), model_obs_.proj_grav.size()},
      {model_obs_.lin_vel.data(), model_obs_.lin_vel.size()},
      {model_obs_.height_map.data(), model_obs_.height_map.size()},
  }};
  std::array<dds_sequence_float*, kObsFieldCount> seqs{&out.dof_pos,   &out.dof_vel,
                                                       &out.dof_tau,   &out.ang_vel,
                                                       &out.proj_grav, &out.lin_vel,
                                                       &out.height_map};
  for (std::size_t i = 0; i < kObsFieldCount; ++i) {
    const auto& fixed = overrides.fields[i];
    const float* data = fixed ? fixed->data() : model_fields[i].first;
    const std::size_t size = fixed ? fixed->size() : model_fields[i].second;
    // Borrowed for the write only; release false so DDS never frees our storage.
    seqs[i]->_maximum = static_cast<uint32_t>(size);
    seqs[i]->_length = static_cast<uint32_t>(size);
    seqs[i]->_buffer = size == 0 ? nullptr : const_cast<float*>(data);
    seqs[i]->_release = false;
  }
  ++obs_serial_;
  if (number_obs_) {
    serial_field_.assign(1, static_cast<float>(obs_serial_));
    out.lin_vel._maximum = out.lin_vel._length = 1;
    out.lin_vel._buffer = serial_field_.data();
  }
}

void Controller::writeObservation(const ObsOverrides& overrides) {
  core_dds_UserObservation sample{};
  fillObservation(overrides, sample);
  sdk_dds::checkRc(dds_write(obs_writer_.get(), &sample), "dds_write(user_obs)");
}

// ---------------------------------------------------------------------------------------------
// Commands

void Controller::serviceInbox() {
  bool triggered = false;
  (void)dds_take_guardcondition(guard_.get(), &triggered);
  for (Inbox::Item& item : inbox_.takeAll()) {
    if (item.signal != 0) {
      quit_reason_ = item.signal == SIGINT ? "SIGINT" : item.signal == SIGTERM ? "SIGTERM" : "signal";
      return;
    }
    commands_.handleLine(item.line);
    if (!quit_reason_.empty()) return;
  }
}

void Controller::addCommands() {
  const auto bind = [this](void (Controller::*cmd)(const Json&)) {
    return [this, cmd](const Json& command) { (this->*cmd)(command); };
  };
  commands_.add("publish_command", bind(&Controller::cmdPublishCommand));
  commands_.add("service_mode", bind(&Controller::cmdServiceMode));
  commands_.add("obs_answer", bind(&Controller::cmdObsAnswer));
  commands_.add("obs_fixed", bind(&Controller::cmdObsFixed));
  commands_.add("obs_numbered", bind(&Controller::cmdObsNumbered));
  commands_.add("obs_model", [this](const Json&) { fixed_ = ObsOverrides{}; });
  commands_.add("publish_obs", bind(&Controller::cmdPublishObs));
  commands_.add("gamepad", bind(&Controller::cmdGamepad));
  commands_.add("status", [this](const Json&) { cmdStatus(); });
  commands_.add("push", [this](const Json& command) { simulation_.push(parsePush(command)); });
  commands_.add("quit", [this](const Json&) { quit_reason_ = "quit"; });
}

void Controller::cmdPublishCommand(const Json& command) {
  const std::vector<float> values = parseFloatList(required(command, "values"), "\"values\"");
  if (values.size() != 8) throw ProtocolError("\"values\" must hold exactly 8 numbers");
  std::array<float, 8> slots{};
  std::copy(values.begin(), values.end(), slots.begin());
  publishCommand(slots);
  Json event = makeEvent("published");
  event["topic"] = "user_command";
  event["motion_command"] = floatsToJson(slots.data(), slots.size());
  sink_.emit(event);
}

void Controller::publishCommand(const std::array<float, 8>& values) {
  core_dds_UserCommand sample{};
  std::copy(values.begin(), values.end(), sample.motion_command);
  sdk_dds::checkRc(dds_write(command_writer_.get(), &sample), "dds_write(user_command)");
}

void Controller::cmdServiceMode(const Json& command) {
  const Json& mode_text = required(command, "mode");
  if (!mode_text.is_string()) throw ProtocolError("\"mode\" must be a string");
  const auto mode = serviceModeFromText(mode_text.get<std::string>());
  if (!mode) throw ProtocolError("unknown service mode: " + mode_text.get<std::string>());
  const Json* message = member(command, "message");
  if (message != nullptr && !message->is_string()) throw ProtocolError("\"message\" must be a string");
  std::optional<std::string> text;
  if (message != nullptr) text = message->get<std::string>();
  service_->setMode(*mode, std::move(text));
}

void Controller::cmdObsAnswer(const Json& command) {
  const Json& enabled = required(command, "enabled");
  if (!enabled.is_boolean()) throw ProtocolError("\"enabled\" must be true or false");
  answer_obs_ = enabled.get<bool>();
}

void Controller::cmdObsNumbered(const Json& command) {
  const Json& enabled = required(command, "enabled");
  if (!enabled.is_boolean()) throw ProtocolError("\"enabled\" must be true or false");
  number_obs_ = enabled.get<bool>();
}

void Controller::cmdObsFixed(const Json& command) {
  // Replaces the whole fixed set: members not named here come from the model again.
  fixed_ = parseObsFields(required(command, "fields"));
}

void Controller::cmdPublishObs(const Json& command) {
  const Json* fields = member(command, "fields");
  ObsOverrides overrides = fixed_;
  if (fields != nullptr) overrides.apply(parseObsFields(*fields));
  core_dds_UserObservation sample{};
  fillObservation(overrides, sample);
  sdk_dds::checkRc(dds_write(obs_writer_.get(), &sample), "dds_write(user_obs)");
  Json event = makeEvent("published");
  event["topic"] = "user_obs";
  const std::array<const dds_sequence_float*, kObsFieldCount> seqs{
      &sample.dof_pos, &sample.dof_vel, &sample.dof_tau,   &sample.ang_vel,
      &sample.proj_grav, &sample.lin_vel, &sample.height_map};
  for (std::size_t i = 0; i < kObsFieldCount; ++i) {
    event[kObsFieldNames[i]] = floatsToJson(seqs[i]->_buffer, seqs[i]->_length);
  }
  sink_.emit(event);
}

void Controller::cmdGamepad(const Json& command) {
  const Json& mode = required(command, "mode");
  if (const Json* rate = member(command, "rate")) {
    if (!rate->is_number() || !(rate->get<double>() > 0.0) || rate->get<double>() > kMaxGamepadRate) {
      throw ProtocolError("\"rate\" must be a number of hertz above 0 and at most 100000");
    }
    gamepad_period_ = periodOf(rate->get<double>());
  }
  if (mode == "none") {
    gamepad_on_ = false;
  } else if (mode == "demo") {
    if (!gamepad_on_) gamepad_start_ = gamepad_next_ = Clock::now();
    gamepad_on_ = true;
  } else {
    throw ProtocolError("\"mode\" must be \"none\" or \"demo\"");
  }
}

void Controller::cmdStatus() {
  const auto subscribed = [](const Entity& reader) {
    return dds_get_matched_publications(reader.get(), nullptr, 0);
  };
  const auto published = [](const Entity& writer) {
    return dds_get_matched_subscriptions(writer.get(), nullptr, 0);
  };
  Json matched = Json::object();
  matched["user_mode"] = subscribed(mode_reader_);
  matched["user_action"] = subscribed(action_reader_);
  matched["user_gains"] = subscribed(gains_reader_);
  matched["user_obs_request"] = subscribed(obs_request_reader_);
  matched["user_obs"] = published(obs_writer_);
  matched["user_command"] = published(command_writer_);
  Json event = makeEvent("status");
  event["matched"] = std::move(matched);
  event["obs_answer"] = answer_obs_;
  event["gamepad"] = gamepad_on_ ? "demo" : "none";
  event["service_mode"] = serviceModeText(service_->mode());
  sink_.emit(event);
}

void Controller::gamepadTick() {
  const auto now = Clock::now();
  const double t = std::chrono::duration<double>(now - gamepad_start_).count();
  const std::array<float, 8> values = gamepadValues(t);
  try {
    publishCommand(values);
  } catch (const std::exception& e) {
    sink_.error(e.what());
  }
  if (options_.trace_obs) {
    Json event = makeEvent("published");
    event["topic"] = "user_command";
    event["motion_command"] = floatsToJson(values.data(), values.size());
    event["source"] = "gamepad";
    sink_.emit(event);
  }
  gamepad_next_ += gamepad_period_;
  // After a stall, resume the cadence from now instead of publishing a burst.
  if (gamepad_next_ < now) gamepad_next_ = now + gamepad_period_;
}

}  // namespace sim
