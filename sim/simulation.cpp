#include "sim/simulation.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

namespace sim {

Simulation::Simulation(const SimulationOptions& options, EventSink& sink, StatsCallback on_stats)
    : disturbances_(options.pushes, options.randomize.seed.value_or(0)) {
  RigidBodyConfig physics;
  physics.model_path = options.model_path;
  physics.record_path = options.record_path;
  physics.lockstep = options.lockstep;
  physics.on_stats = std::move(on_stats);
  backend_ = makePhysics(options.physics, std::move(physics), Clock::now());
  if (options.lockstep) {
    const double step = backend_->stepSeconds();
    const long steps = std::lround(options.control_period / step);
    if (steps < 1 || std::abs(static_cast<double>(steps) * step - options.control_period) > 1e-9) {
      throw std::runtime_error("--control-period must be a whole number of physics steps of " +
                               std::to_string(step) + " s");
    }
    clock_ = makeLockstepClock(steps, step);
  } else {
    clock_ = makeRealTimeClock();
  }
  if (options.episodes) episodes_.emplace(options.randomize, sink);
}

void Simulation::userMode(bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  changed_since_answer_ = true;
  if (episodes_) episodes_->userMode(enabled, *backend_, *clock_, disturbances_);
  backend_->setUserMode(enabled, Clock::now());
}

void Simulation::gains(const float* kp, std::size_t kp_len, const float* kd, std::size_t kd_len) {
  std::lock_guard<std::mutex> lock(mutex_);
  changed_since_answer_ = true;
  backend_->setGains(kp, kp_len, kd, kd_len, Clock::now());
}

void Simulation::action(const float* values, std::size_t len, bool torque_control) {
  std::lock_guard<std::mutex> lock(mutex_);
  changed_since_answer_ = true;
  clock_->act(*backend_, values, len, torque_control, Clock::now());
  disturbances_.poll(*backend_);
}

void Simulation::observe(ModelObservation& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  backend_->observe(Clock::now(), out);
}

void Simulation::push(const PushCommand& push) {
  std::lock_guard<std::mutex> lock(mutex_);
  changed_since_answer_ = true;
  disturbances_.push(*backend_, push);
}

void Simulation::beforeAnswer() { clock_->beforeAnswer(); }

bool Simulation::answers(int64_t written) {
  if (!lockstep()) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  return changed_since_answer_ || written >= answered_at_;
}

void Simulation::answering(int64_t now) {
  if (!lockstep()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  changed_since_answer_ = false;
  answered_at_ = now;
}

}  // namespace sim
