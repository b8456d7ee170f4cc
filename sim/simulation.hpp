#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "sim/clock_policy.hpp"
#include "sim/disturbances.hpp"
#include "sim/episodes.hpp"
#include "sim/model.hpp"
#include "sim/protocol.hpp"

namespace sim {

struct SimulationOptions {
  PhysicsKind physics = PhysicsKind::toy;
  std::string model_path;   // rigid-body model; empty: the one shipped with the simulator
  std::string record_path;  // rigid-body trajectory file; empty: none
  bool lockstep = false;
  double control_period = 0.005;  // seconds per action in lockstep
  bool episodes = false;
  RandomizeOptions randomize;
  PushOptions pushes;
};

// The simulated robot as the controller sees it: the physics backend under its clock policy,
// with episodes and disturbances. Called from DDS listener threads and the main loop; every
// call is serialised here.
class Simulation {
 public:
  Simulation(const SimulationOptions& options, EventSink& sink, StatsCallback on_stats);

  bool lockstep() const { return clock_->lockstep(); }
  void userMode(bool enabled);
  void gains(const float* kp, std::size_t kp_len, const float* kd, std::size_t kd_len);
  void action(const float* values, std::size_t len, bool torque_control);
  void observe(ModelObservation& out);
  void push(const PushCommand& push);
  // Before an observation is written: the episode's answer delay, in real time.
  void beforeAnswer();

  // In lockstep, whether to answer a request its writer stamped `written` (nanoseconds of
  // the wall clock). The SDK writes a request again when the answer to the first is slow;
  // a second answer could then reach its next call, older than the action taken in
  // between, and the run would no longer repeat. So a request written before the latest
  // answer was written, with nothing received since, goes unanswered: that answer is
  // already on its way to the same call. Peers on one machine share the clock.
  bool answers(int64_t written);
  // An answer is written now (nanoseconds of the wall clock).
  void answering(int64_t now);

 private:
  std::mutex mutex_;
  std::unique_ptr<PhysicsBackend> backend_;
  std::unique_ptr<ClockPolicy> clock_;
  Disturbances disturbances_;
  std::optional<Episodes> episodes_;
  bool changed_since_answer_ = true;
  int64_t answered_at_ = 0;
};

}  // namespace sim
