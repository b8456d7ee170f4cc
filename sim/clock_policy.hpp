#pragma once

#include <cstddef>
#include <memory>

#include "sim/model.hpp"

namespace sim {

// When simulated time passes. In real time the backend follows the wall clock by itself and
// an answer carries the state at the moment it is written. In lockstep time passes only by
// one control period per received action, so the policy's loop sets the pace and an answer
// carries the state after every action received before it.
class ClockPolicy {
 public:
  virtual ~ClockPolicy() = default;
  virtual bool lockstep() const = 0;
  // Applies one received action.
  virtual void act(PhysicsBackend& backend, const float* values, std::size_t len,
                   bool torque_control, Clock::time_point now) = 0;
  // The link's delay for this episode: in real time each answer is written that much later;
  // in lockstep, where waiting costs no simulated time, each action takes effect that much
  // simulated time into its control period instead (the previous action holds until then).
  virtual void setAnswerDelay(double seconds) = 0;
  // Called right before an answer is written.
  virtual void beforeAnswer() = 0;
};

std::unique_ptr<ClockPolicy> makeRealTimeClock();
// `steps_per_period` physics steps of `step_seconds` per received action.
std::unique_ptr<ClockPolicy> makeLockstepClock(long steps_per_period, double step_seconds);

}  // namespace sim
