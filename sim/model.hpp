#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace sim {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kJointCount = 4;
constexpr std::size_t kHeightMapSize = 25;

// Latest observation values, in fixed storage so that building an answer allocates nothing.
struct ModelObservation {
  std::array<float, kJointCount> dof_pos{};
  std::array<float, kJointCount> dof_vel{};
  std::array<float, kJointCount> dof_tau{};
  std::array<float, 3> ang_vel{};
  std::array<float, 3> proj_grav{};
  std::array<float, 3> lin_vel{};
  std::array<float, kHeightMapSize> height_map{};
};

// A toy robot: two leg joints (0, 1) that tilt the body and two wheels (2, 3) that drive
// it. Enough physics that a policy's targets and torques visibly move the joints; nothing
// here pretends to be the real machine.
//
// Time advances lazily: each call brings the state forward to "now" in fixed steps, so an
// observation never waits for a timer tick.
class Model {
 public:
  static constexpr double kStep = 0.001;  // seconds

  explicit Model(Clock::time_point start);

  // Lengths other than four are tolerated: missing entries count as zero, extras are ignored.
  void setGains(const float* kp, std::size_t kp_len, const float* kd, std::size_t kd_len,
                Clock::time_point now);
  void setAction(const float* values, std::size_t len, bool torque_control, Clock::time_point now);

  void advanceTo(Clock::time_point now);
  // Advances to `now` and fills `out` from the state.
  void observe(Clock::time_point now, ModelObservation& out);

 private:
  void step();
  double jointTorque(std::size_t joint) const;

  Clock::time_point sim_time_;
  std::array<double, kJointCount> pos_{};
  std::array<double, kJointCount> vel_{};
  std::array<double, kJointCount> kp_{};
  std::array<double, kJointCount> kd_{};
  std::array<double, kJointCount> action_{};
  bool torque_control_ = false;
  bool gains_received_ = false;
  // Body pose on the ground plane, integrated from the wheels.
  double x_ = 0.0;
  double y_ = 0.0;
  double yaw_ = 0.0;
  double pitch_rate_ = 0.0;
  double roll_rate_ = 0.0;
};

}  // namespace sim
