#include "sim/model.hpp"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr std::array<double, kJointCount> kInertia{0.05, 0.05, 0.02, 0.02};
constexpr std::array<double, kJointCount> kFriction{0.2, 0.2, 0.05, 0.05};
// The same torque limits the joystick's configuration request announces per joint.
constexpr std::array<double, kJointCount> kTorqueLimit{36.0, 36.0, 17.0, 17.0};
constexpr double kVelocityLimit = 40.0;  // rad/s; keeps absurd gains from producing infinities
constexpr double kLegMin = -1.5;
constexpr double kLegMax = 1.5;
constexpr double kWheelRadius = 0.1;
constexpr double kTrackWidth = 0.4;
constexpr double kLegLength = 0.2;
// After a long idle period the state has settled; replaying every step would stall the
// first answer, so at most this much simulated time is caught up at once.
constexpr long kMaxCatchUpSteps = 1000;

// Bending both legs pitches the body; bending them unequally rolls it.
double bodyPitch(const std::array<double, kJointCount>& pos) { return 0.25 * (pos[0] + pos[1]); }
double bodyRoll(const std::array<double, kJointCount>& pos) { return 0.25 * (pos[0] - pos[1]); }

// Peers may send NaN or infinities; the model must stay finite whatever arrives.
double finiteOrZero(float v) { return std::isfinite(v) ? static_cast<double>(v) : 0.0; }

void copyPadded(const float* src, std::size_t len, std::array<double, kJointCount>& dst) {
  for (std::size_t i = 0; i < kJointCount; ++i) {
    dst[i] = (src != nullptr && i < len) ? finiteOrZero(src[i]) : 0.0;
  }
}

}  // namespace

Model::Model(Clock::time_point start, bool lockstep) : lockstep_(lockstep), sim_time_(start) {
  reset(Variation{});
}

void Model::reset(const Variation& variation) {
  pos_.fill(0.0);
  vel_.fill(0.0);
  // The last episode's action must not carry into this one; its gains do.
  action_.fill(0.0);
  torque_control_ = false;
  x_ = y_ = yaw_ = pitch_rate_ = roll_rate_ = 0.0;
  push_steps_ = 0;
  record_ = EpisodeRecord{};
  for (std::size_t j = 0; j < kJointCount; ++j) {
    inertia_[j] = kInertia[j] * variation.mass;
    friction_[j] = kFriction[j] * variation.friction;
    torque_limit_[j] = kTorqueLimit[j] * variation.torque_limit;
  }
}

void Model::push(const std::array<double, 3>& force, double seconds) {
  push_torque_ = std::isfinite(force[0]) ? force[0] * kLegLength : 0.0;
  push_steps_ = std::max(1L, std::lround(seconds / kStep));
}

void Model::setGains(const float* kp, std::size_t kp_len, const float* kd, std::size_t kd_len,
                     Clock::time_point now) {
  // The old gains govern the time up to now; the new ones apply from now on.
  advanceTo(now);
  copyPadded(kp, kp_len, kp_);
  copyPadded(kd, kd_len, kd_);
  gains_received_ = true;
}

void Model::setAction(const float* values, std::size_t len, bool torque_control,
                      Clock::time_point now) {
  advanceTo(now);
  copyPadded(values, len, action_);
  torque_control_ = torque_control;
}

double Model::jointTorque(std::size_t joint) const {
  double tau = 0.0;
  if (torque_control_) {
    tau = action_[joint];
  } else if (gains_received_) {
    tau = kp_[joint] * (action_[joint] - pos_[joint]) - kd_[joint] * vel_[joint];
  }
  if (!std::isfinite(tau)) return 0.0;
  return std::clamp(tau, -torque_limit_[joint], torque_limit_[joint]);
}

void Model::step() {
  for (std::size_t j = 0; j < kJointCount; ++j) {
    double tau = jointTorque(j);
    if (push_steps_ > 0 && j < 2) tau += push_torque_;
    const double acc = (tau - friction_[j] * vel_[j]) / inertia_[j];
    vel_[j] = std::clamp(vel_[j] + acc * kStep, -kVelocityLimit, kVelocityLimit);
    pos_[j] += vel_[j] * kStep;
  }
  // Legs hit hard stops; wheels turn freely.
  for (std::size_t j = 0; j < 2; ++j) {
    if (pos_[j] < kLegMin || pos_[j] > kLegMax) {
      pos_[j] = std::clamp(pos_[j], kLegMin, kLegMax);
      vel_[j] = 0.0;
    }
  }
  const double forward = kWheelRadius * 0.5 * (vel_[2] + vel_[3]);
  const double yaw_rate = kWheelRadius * (vel_[3] - vel_[2]) / kTrackWidth;
  x_ += forward * std::cos(yaw_) * kStep;
  y_ += forward * std::sin(yaw_) * kStep;
  yaw_ += yaw_rate * kStep;
  if (push_steps_ > 0) --push_steps_;
  record_.sim_time += kStep;
  const double up = std::cos(bodyPitch(pos_)) * std::cos(bodyRoll(pos_));
  const double tilt = std::acos(std::clamp(up, -1.0, 1.0));
  record_.largest_tilt = std::max(record_.largest_tilt, tilt);
}

void Model::advance(long steps) {
  if (steps > 0) advanceSteps(steps);
}

void Model::advanceTo(Clock::time_point now) {
  if (lockstep_ || now <= sim_time_) return;
  const auto step_duration = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(kStep));
  long steps = static_cast<long>((now - sim_time_) / step_duration);
  if (steps <= 0) return;
  if (steps > kMaxCatchUpSteps) {
    sim_time_ = now - kMaxCatchUpSteps * step_duration;
    steps = kMaxCatchUpSteps;
  }
  advanceSteps(steps);
  sim_time_ += steps * step_duration;
}

void Model::advanceSteps(long steps) {
  const double pitch_before = bodyPitch(pos_);
  const double roll_before = bodyRoll(pos_);
  for (long i = 0; i < steps; ++i) step();
  // Body rates come from the leg motion over the interval just integrated.
  const double elapsed = static_cast<double>(steps) * kStep;
  pitch_rate_ = (bodyPitch(pos_) - pitch_before) / elapsed;
  roll_rate_ = (bodyRoll(pos_) - roll_before) / elapsed;
}

void Model::observe(Clock::time_point now, ModelObservation& out) {
  advanceTo(now);
  for (std::size_t j = 0; j < kJointCount; ++j) {
    out.dof_pos[j] = static_cast<float>(pos_[j]);
    out.dof_vel[j] = static_cast<float>(vel_[j]);
    out.dof_tau[j] = static_cast<float>(jointTorque(j));
  }
  const double pitch = bodyPitch(pos_);
  const double roll = bodyRoll(pos_);
  const double yaw_rate = kWheelRadius * (vel_[3] - vel_[2]) / kTrackWidth;
  out.ang_vel = {static_cast<float>(roll_rate_), static_cast<float>(pitch_rate_),
                 static_cast<float>(yaw_rate)};
  out.proj_grav = {static_cast<float>(std::sin(pitch)),
                   static_cast<float>(-std::sin(roll) * std::cos(pitch)),
                   static_cast<float>(-std::cos(roll) * std::cos(pitch))};
  const double forward = kWheelRadius * 0.5 * (vel_[2] + vel_[3]);
  out.lin_vel = {static_cast<float>(forward), 0.0f, 0.0f};
  // A 5 x 5 grid ahead of the body over gently rolling ground, relative to the base height.
  const double base_height = kLegLength * (1.0 + std::cos(0.5 * (pos_[0] + pos_[1])));
  for (std::size_t row = 0; row < 5; ++row) {
    for (std::size_t col = 0; col < 5; ++col) {
      const double ahead = 0.1 * static_cast<double>(row);
      const double side = 0.1 * (static_cast<double>(col) - 2.0);
      const double gx = x_ + ahead * std::cos(yaw_) - side * std::sin(yaw_);
      const double gy = y_ + ahead * std::sin(yaw_) + side * std::cos(yaw_);
      const double ground = 0.02 * std::sin(2.0 * gx) * std::cos(1.5 * gy);
      out.height_map[row * 5 + col] = static_cast<float>(base_height - ground);
    }
  }
}

}  // namespace sim
