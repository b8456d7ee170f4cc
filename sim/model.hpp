#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

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

// What the physics thread reports about itself, about once a second.
struct PhysicsStats {
  double sim_time = 0.0;          // seconds simulated since the start
  double real_time_factor = 0.0;  // simulated over wall-clock time, in the last interval
  long steps = 0;                 // steps taken in the last interval
  long dropped_steps = 0;         // steps given up in the last interval because it fell behind
  bool on_stand = false;          // still held in its start pose, before the first user mode
};

// How one episode's robot differs from the nominal one, each a factor of the nominal value.
struct Variation {
  double mass = 1.0;          // the body's mass (and inertia)
  double friction = 1.0;      // ground friction
  double torque_limit = 1.0;  // every motor's torque limit
};

// What happened since the last reset (or the start).
struct EpisodeRecord {
  double sim_time = 0.0;      // seconds simulated
  double largest_tilt = 0.0;  // radians between the body's up axis and the vertical
};

// The robot the controller speaks for. Called from DDS listener threads (gains, action, mode)
// and the main loop (observations); the controller serialises the calls.
class PhysicsBackend {
 public:
  virtual ~PhysicsBackend() = default;
  // Lengths other than four are tolerated: missing entries count as zero, extras are ignored.
  virtual void setGains(const float* kp, std::size_t kp_len, const float* kd, std::size_t kd_len,
                        Clock::time_point now) = 0;
  virtual void setAction(const float* values, std::size_t len, bool torque_control,
                         Clock::time_point now) = 0;
  virtual void setUserMode(bool enabled, Clock::time_point now) = 0;
  // Fills `out` with the state at (or just before) `now`.
  virtual void observe(Clock::time_point now, ModelObservation& out) = 0;

  // Only for a backend made for lockstep, which nothing else advances: takes `steps` physics
  // steps at once, on the caller's thread.
  virtual void advance(long steps) = 0;
  virtual double stepSeconds() const = 0;
  // Back onto the stand in the start pose, with these variations; the next user mode on
  // releases it.
  virtual void reset(const Variation& variation) = 0;
  // A force on the body, in newtons and in the body's frame as the push starts (x forward,
  // y left, z up), held for `seconds` of simulated time once released from the stand.
  virtual void push(const std::array<double, 3>& force, double seconds) = 0;
  virtual EpisodeRecord episodeRecord() = 0;
};

using StatsCallback = std::function<void(const PhysicsStats&)>;

// How the rigid-body backend is set up; it lives in a plugin loaded only when asked for, so
// that the simulator runs where the physics library is not installed.
struct RigidBodyConfig {
  std::string model_path;   // empty: the model shipped beside the plugin
  std::string record_path;  // empty: no trajectory file
  double step = 0.001;      // seconds per physics step
  bool lockstep = false;    // no thread of its own: only advance() moves it
  StatsCallback on_stats;   // called on the physics thread
};

// The plugin's one entry point. Returns null and fills `error` when the model cannot be
// loaded or the thread cannot start.
extern "C" {
using CreateRigidBodyFn = PhysicsBackend* (*)(const RigidBodyConfig* config, char* error,
                                              std::size_t error_len);
}
constexpr const char* kRigidBodyEntryPoint = "tarvek_sim_create_rigid_body";
constexpr const char* kRigidBodyPluginName = "libtarvek_sim_mujoco.so";

// A toy robot: two leg joints (0, 1) that tilt the body and two wheels (2, 3) that drive
// it. Enough physics that a policy's targets and torques visibly move the joints; nothing
// here pretends to be the real machine.
//
// Time advances lazily: each call brings the state forward to "now" in fixed steps, so an
// observation never waits for a timer tick. In lockstep only advance() moves it.
class Model final : public PhysicsBackend {
 public:
  static constexpr double kStep = 0.001;  // seconds

  Model(Clock::time_point start, bool lockstep);

  // Lengths other than four are tolerated: missing entries count as zero, extras are ignored.
  void setGains(const float* kp, std::size_t kp_len, const float* kd, std::size_t kd_len,
                Clock::time_point now) override;
  void setAction(const float* values, std::size_t len, bool torque_control,
                 Clock::time_point now) override;
  // The toy model has no stand and keeps following its targets whatever the mode.
  void setUserMode(bool, Clock::time_point) override {}

  void advanceTo(Clock::time_point now);
  // Advances to `now` and fills `out` from the state.
  void observe(Clock::time_point now, ModelObservation& out) override;

  void advance(long steps) override;
  double stepSeconds() const override { return kStep; }
  // The toy has no stand: the start pose is all joints at rest at zero. Mass scales the
  // joints' inertia, friction their friction.
  void reset(const Variation& variation) override;
  // Only the force along the body's x axis acts, as a torque on both legs about the hips.
  void push(const std::array<double, 3>& force, double seconds) override;
  EpisodeRecord episodeRecord() override { return record_; }

 private:
  void step();
  void advanceSteps(long steps);
  double jointTorque(std::size_t joint) const;

  bool lockstep_;
  std::array<double, kJointCount> inertia_{};
  std::array<double, kJointCount> friction_{};
  std::array<double, kJointCount> torque_limit_{};
  double push_torque_ = 0.0;
  long push_steps_ = 0;
  EpisodeRecord record_;
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

enum class PhysicsKind { toy, mujoco };

// The toy model, or the rigid-body plugin; throws std::runtime_error with a message that
// says what to install when the plugin or its library cannot be loaded.
// With config.lockstep, only advance() moves the backend.
std::unique_ptr<PhysicsBackend> makePhysics(PhysicsKind kind, RigidBodyConfig config,
                                            Clock::time_point start);

}  // namespace sim
