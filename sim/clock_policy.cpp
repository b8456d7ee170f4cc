#include "sim/clock_policy.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace sim {

namespace {

class RealTimeClock final : public ClockPolicy {
 public:
  bool lockstep() const override { return false; }

  void act(PhysicsBackend& backend, const float* values, std::size_t len, bool torque_control,
           Clock::time_point now) override {
    backend.setAction(values, len, torque_control, now);
  }

  void setAnswerDelay(double seconds) override {
    delay_ = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }

  void beforeAnswer() override {
    if (delay_.count() > 0) std::this_thread::sleep_for(delay_);
  }

 private:
  Clock::duration delay_{};
};

class LockstepClock final : public ClockPolicy {
 public:
  LockstepClock(long steps_per_period, double step_seconds)
      : period_(steps_per_period), step_(step_seconds) {}

  bool lockstep() const override { return true; }

  void act(PhysicsBackend& backend, const float* values, std::size_t len, bool torque_control,
           Clock::time_point now) override {
    backend.advance(delay_steps_);
    backend.setAction(values, len, torque_control, now);
    backend.advance(period_ - delay_steps_);
  }

  // Whole physics steps, and never more than the period.
  void setAnswerDelay(double seconds) override {
    delay_steps_ = std::clamp(std::lround(seconds / step_), 0L, period_);
  }

  void beforeAnswer() override {}

 private:
  long period_;
  double step_;
  long delay_steps_ = 0;
};

}  // namespace

std::unique_ptr<ClockPolicy> makeRealTimeClock() { return std::make_unique<RealTimeClock>(); }

std::unique_ptr<ClockPolicy> makeLockstepClock(long steps_per_period, double step_seconds) {
  return std::make_unique<LockstepClock>(steps_per_period, step_seconds);
}

}  // namespace sim
