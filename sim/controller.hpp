#pragma once

#include <dds/dds.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dds/dds_layer.hpp"
#include "sim/commands.hpp"
#include "sim/entity.hpp"
#include "sim/model.hpp"
#include "sim/param_service.hpp"
#include "sim/protocol.hpp"
#include "sim/simulation.hpp"

namespace sim {

struct Options {
  int32_t domain = 1;
  bool trace_obs = false;
  bool gamepad_demo = false;
  double gamepad_rate_hz = 50.0;
  ServiceMode service_mode = ServiceMode::accept;
  std::string reject_message = "rejected by the simulated controller";
  uint32_t ros_domain = 0;
  SimulationOptions simulation;
};

// Reports a DDS endpoint's matched count whenever it changes. Counts that change before
// "ready" are held back and reported right after it, so a driver that waits for "ready"
// first still sees every one.
struct MatchTracker {
  const char* topic = "";
  EventSink* sink = nullptr;
  const bool* ready = nullptr;
  int32_t current = 0;
  int32_t reported = 0;

  void update(int32_t count) noexcept;
  void reportIfChangedUnlocked() noexcept;
};

// The simulated robot controller: DDS peer of the six topics and server of the configuration
// service. One wait set drives the main loop (observation requests, service requests, stdin
// commands, the gamepad's cadence); mode, action and gains arrive through listeners, or in
// lockstep through the wait set too.
class Controller {
 public:
  Controller(const Options& options, EventSink& sink, Inbox& inbox);
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;
  ~Controller();

  void announceReady();
  // Serves until a quit command or a signal; returns the reason ("quit", "SIGINT", ...).
  std::string run();

 private:
  enum Tracker : std::size_t {
    kTrackMode, kTrackAction, kTrackGains, kTrackObsRequest, kTrackObs, kTrackCommand,
    kTrackerCount
  };

  void createEntities();
  dds_entity_t createTopic(const dds_topic_descriptor_t* descriptor, const char* name);
  Entity createReader(dds_entity_t topic, const sdk_dds::TopicConfig& cfg, MatchTracker& tracker,
                      dds_on_data_available_fn on_data);
  Entity createWriter(dds_entity_t topic, const sdk_dds::TopicConfig& cfg, MatchTracker& tracker);

  void serviceObsRequests();
  void serviceInputsInOrder();
  template <typename Sample, void (Controller::*Handle)(const Sample&)>
  static void onData(dds_entity_t reader, void* arg);
  static void onModeData(dds_entity_t reader, void* arg);
  static void onActionData(dds_entity_t reader, void* arg);
  static void onGainsData(dds_entity_t reader, void* arg);
  void onMode(const core_dds_UserMode& sample);
  void onAction(const core_dds_UserAction& sample);
  void onGains(const core_dds_UserGains& sample);
  void onObsRequest(const core_dds_UserObsRequest& sample, dds_time_t written);
  void serviceRequests();

  void reportPhysics(const PhysicsStats& stats) noexcept;
  void fillObservation(const ObsOverrides& overrides, core_dds_UserObservation& out);
  void writeObservation(const ObsOverrides& overrides);

  void serviceInbox();
  void addCommands();
  void cmdPublishCommand(const Json& command);
  void cmdServiceMode(const Json& command);
  void cmdObsAnswer(const Json& command);
  void cmdObsNumbered(const Json& command);
  void cmdObsFixed(const Json& command);
  void cmdPublishObs(const Json& command);
  void cmdGamepad(const Json& command);
  void cmdStatus();

  void publishCommand(const std::array<float, 8>& values);
  void gamepadTick();
  dds_duration_t waitTimeout() const;

  Options options_;
  EventSink& sink_;
  Inbox& inbox_;

  // Listeners point at these, so they are declared before (and outlive) the entities.
  bool ready_ = false;
  std::array<MatchTracker, kTrackerCount> trackers_{};

  // Listeners update it on DDS threads while the main loop observes it.
  Simulation simulation_;
  ModelObservation model_obs_{};  // main loop only
  CommandTable commands_;
  ObsOverrides fixed_;
  ObsOverrides no_overrides_;
  bool answer_obs_ = true;
  // When set, each observation written carries its serial number (1, 2, ...) as `lin_vel`,
  // so a peer can tell which answer it was given.
  bool number_obs_ = false;
  uint64_t obs_serial_ = 0;
  std::vector<float> serial_field_;
  bool gamepad_on_ = false;
  Clock::time_point gamepad_start_{};
  Clock::time_point gamepad_next_{};
  Clock::duration gamepad_period_{};
  std::string quit_reason_;

  Entity participant_;
  Entity mode_topic_, command_topic_, action_topic_, gains_topic_, obs_request_topic_, obs_topic_;
  Entity mode_reader_, action_reader_, gains_reader_, obs_request_reader_;
  Entity obs_writer_;
  Entity command_writer_;
  Entity obs_request_condition_;
  std::vector<Entity> input_conditions_;  // lockstep only
  Entity guard_;
  Entity waitset_;
  // Detaches from the wait set on destruction, so it goes first.
  std::unique_ptr<ParamService> service_;
};

}  // namespace sim
