#pragma once

#include <cstdint>

#include "sim/clock_policy.hpp"
#include "sim/disturbances.hpp"
#include "sim/model.hpp"
#include "sim/protocol.hpp"

namespace sim {

// A body tilted this far has fallen, whatever the policy does next.
constexpr double kFallenTiltDeg = 30.0;

// One episode per user mode session: switching user mode on puts the robot back onto its
// stand with the episode's draws, switching it off reports the episode as an "episode" event.
class Episodes {
 public:
  Episodes(const RandomizeOptions& randomize, EventSink& sink);

  void userMode(bool enabled, PhysicsBackend& backend, ClockPolicy& clock,
                Disturbances& disturbances);

 private:
  void report(PhysicsBackend& backend, const Disturbances& disturbances);

  Randomizer randomizer_;
  EventSink& sink_;
  bool running_ = false;
  int64_t index_ = 0;
  Draws draws_;
};

}  // namespace sim
