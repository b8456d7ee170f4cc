// The rigid-body backend: the robot of wheel_legged.xml simulated by MuJoCo on a thread of
// its own at a fixed step, paced to the wall clock. Built as a plugin that the simulator
// loads only for --physics mujoco, so that it starts without the library otherwise.

#include <dlfcn.h>
#include <mujoco/mujoco.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/model.hpp"

namespace sim {

namespace {

constexpr double kRecordPeriod = 0.02;  // seconds of simulated time between recorded poses
constexpr double kStatsPeriod = 1.0;    // seconds of wall-clock time between reports
constexpr double kMaxLag = 0.25;        // seconds behind the wall clock before giving up steps
constexpr int kPhysicsNiceness = 5;     // added to the process's nice value for the thread
constexpr int kGroundGroup = 2;         // the geom group the height map's rays hit
constexpr double kRayStart = 1.0;       // metres above the body the rays start from
// The height map: 5 rows from the body forward to 0.4 m ahead, 5 columns across 0.4 m,
// like the toy model's.
constexpr std::size_t kGridSide = 5;
constexpr double kGridSpacing = 0.1;

// MuJoCo prints warnings to standard output, which is our JSON-lines event stream.
void warnToStderr(const char* message) { std::fprintf(stderr, "MuJoCo warning: %s\n", message); }
// MuJoCo's fatal errors must not return into it.
[[noreturn]] void errorToStderr(const char* message) {
  std::fprintf(stderr, "MuJoCo error: %s\n", message);
  std::fflush(stderr);
  std::abort();
}

std::string pluginDir() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&warnToStderr), &info) == 0 || info.dli_fname == nullptr) {
    return ".";
  }
  const std::string path = info.dli_fname;
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

double finiteOrZero(float v) { return std::isfinite(v) ? static_cast<double>(v) : 0.0; }

void copyPadded(const float* src, std::size_t len, std::array<double, kJointCount>& dst) {
  for (std::size_t i = 0; i < kJointCount; ++i) {
    dst[i] = (src != nullptr && i < len) ? finiteOrZero(src[i]) : 0.0;
  }
}

// What the peers last asked for; written by listener threads, read by the physics thread.
struct Command {
  std::array<double, kJointCount> kp{};
  std::array<double, kJointCount> kd{};
  std::array<double, kJointCount> action{};
  bool torque_control = false;
  bool gains_received = false;
  bool user_mode = false;
};

struct Push {
  std::array<double, 3> force{};  // newtons, body frame
  double seconds = 0.0;
};

class RigidBody final : public PhysicsBackend {
 public:
  explicit RigidBody(const RigidBodyConfig& config) : on_stats_(config.on_stats) {
    const std::string path =
        config.model_path.empty() ? pluginDir() + "/wheel_legged.xml" : config.model_path;
    std::array<char, 1000> error{};
    model_ = mj_loadXML(path.c_str(), nullptr, error.data(), static_cast<int>(error.size()));
    if (model_ == nullptr) throw std::runtime_error("cannot load " + path + ": " + error.data());
    try {
      bindModel(config.step);
    } catch (...) {
      mj_deleteModel(model_);
      throw;
    }
    data_ = mj_makeData(model_);
    if (model_->nkey > 0) mj_resetDataKeyframe(model_, data_, 0);
    mj_forward(model_, data_);
    keepNominal();
    if (!config.record_path.empty()) {
      record_ = std::fopen(config.record_path.c_str(), "w");
      if (record_ == nullptr) {
        const std::string why = std::strerror(errno);
        mj_deleteData(data_);
        mj_deleteModel(model_);
        throw std::runtime_error("cannot write " + config.record_path + ": " + why);
      }
      std::fprintf(record_, "# tarvek-sim trajectory: time and qpos every %g s; model %s; nq %d\n",
                   kRecordPeriod, path.c_str(), static_cast<int>(model_->nq));
    }
    publishSnapshot(std::array<double, kJointCount>{});
    if (!config.lockstep) thread_ = std::thread([this] { run(); });
  }

  ~RigidBody() override {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (record_ != nullptr) std::fclose(record_);
    mj_deleteData(data_);
    mj_deleteModel(model_);
  }

  RigidBody(const RigidBody&) = delete;
  RigidBody& operator=(const RigidBody&) = delete;

  void setGains(const float* kp, std::size_t kp_len, const float* kd, std::size_t kd_len,
                Clock::time_point) override {
    std::lock_guard<std::mutex> lock(command_mutex_);
    copyPadded(kp, kp_len, command_.kp);
    copyPadded(kd, kd_len, command_.kd);
    command_.gains_received = true;
  }

  void setAction(const float* values, std::size_t len, bool torque_control,
                 Clock::time_point) override {
    std::lock_guard<std::mutex> lock(command_mutex_);
    copyPadded(values, len, command_.action);
    command_.torque_control = torque_control;
  }

  void setUserMode(bool enabled, Clock::time_point) override {
    std::lock_guard<std::mutex> lock(command_mutex_);
    command_.user_mode = enabled;
  }

  // The newest state the physics thread published: never waits for a step.
  void observe(Clock::time_point, ModelObservation& out) override {
    std::lock_guard<std::mutex> lock(snapshot_mutex_);
    out = snapshot_;
  }

  void advance(long steps) override {
    if (steps <= 0) return;
    for (long i = 0; i < steps; ++i) stepOnce();
    // The height map's rays are the costly part of a snapshot: one per advance is enough.
    publishSnapshot(torque_);
  }

  double stepSeconds() const override { return model_->opt.timestep; }

  // Taken by the stepping thread before its next step, so the state never changes under it.
  void reset(const Variation& variation) override {
    std::unique_lock<std::mutex> lock(command_mutex_);
    pending_reset_ = variation;
    pending_push_.reset();
    // The last episode's action must not carry into this one; its gains do.
    command_.action.fill(0.0);
    command_.torque_control = false;
    const uint64_t asked = ++resets_asked_;
    if (!thread_.joinable()) {
      lock.unlock();
      stepOnceIdle();
      return;
    }
    // The next answer must show the robot on its stand, not where the last episode left it:
    // wait (a step, normally) until the stepping thread has published the reset state.
    reset_shown_.wait_for(lock, std::chrono::milliseconds(100),
                          [&] { return resets_shown_ >= asked; });
  }

  void push(const std::array<double, 3>& force, double seconds) override {
    std::lock_guard<std::mutex> lock(command_mutex_);
    pending_push_ = Push{force, seconds};
  }

  EpisodeRecord episodeRecord() override {
    std::lock_guard<std::mutex> lock(snapshot_mutex_);
    return episode_;
  }

 private:
  void bindModel(double step) {
    if (model_->nu != static_cast<int>(kJointCount)) {
      throw std::runtime_error("the model needs exactly 4 actuators (legs, then wheels), has " +
                               std::to_string(model_->nu));
    }
    for (std::size_t a = 0; a < kJointCount; ++a) {
      const int ai = static_cast<int>(a);
      if (model_->actuator_trntype[ai] != mjTRN_JOINT) {
        throw std::runtime_error("actuator " + std::to_string(a) + " does not drive a joint");
      }
      const int joint = model_->actuator_trnid[2 * ai];
      if (model_->jnt_type[joint] != mjJNT_HINGE) {
        throw std::runtime_error("actuator " + std::to_string(a) + " does not drive a hinge");
      }
      qpos_adr_[a] = model_->jnt_qposadr[joint];
      dof_adr_[a] = model_->jnt_dofadr[joint];
      // An actuator without a control range gets no clipping of its own: use the torque the
      // model allows the joint, or none.
      if (model_->actuator_ctrllimited[ai]) {
        limit_lo_[a] = model_->actuator_ctrlrange[2 * ai];
        limit_hi_[a] = model_->actuator_ctrlrange[2 * ai + 1];
      } else {
        limit_lo_[a] = -mjMAXVAL;
        limit_hi_[a] = mjMAXVAL;
      }
    }
    if (model_->njnt < 1 || model_->jnt_type[0] != mjJNT_FREE) {
      throw std::runtime_error("the model's first joint must be the body's free joint");
    }
    if (!(step > 0.0)) throw std::runtime_error("the physics step must be positive");
    model_->opt.timestep = step;
    base_ = model_->jnt_bodyid[0];
    ground_groups_.fill(0);
    ground_groups_[kGroundGroup] = 1;
  }

  void run() {
    // A step takes a few tens of microseconds of each millisecond; answering an observation
    // request should not queue behind it on a busy machine, so this thread yields first.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)),
                      getpriority(PRIO_PROCESS, 0) + kPhysicsNiceness);
    const double dt = model_->opt.timestep;
    const auto step_duration =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(dt));
    auto next = Clock::now();
    auto window_start = next;
    double window_sim_start = data_->time;
    long window_steps = 0;
    long window_dropped = 0;
    while (!stop_.load(std::memory_order_relaxed)) {
      const uint64_t reset = stepOnce();
      ++window_steps;
      publishSnapshot(torque_);
      if (reset != 0) {
        {
          std::lock_guard<std::mutex> lock(command_mutex_);
          resets_shown_ = reset;
        }
        reset_shown_.notify_all();
      }

      next += step_duration;
      const auto now = Clock::now();
      if (now - next > std::chrono::duration<double>(kMaxLag)) {
        // Too far behind to catch up without a burst of unpaced steps: let the simulated
        // clock fall behind instead, and say so in the report.
        window_dropped += static_cast<long>((now - next) / step_duration);
        next = now;
      }
      const double wall = std::chrono::duration<double>(now - window_start).count();
      if (wall >= kStatsPeriod) {
        if (on_stats_) {
          PhysicsStats stats;
          stats.sim_time = data_->time;
          stats.real_time_factor = (data_->time - window_sim_start) / wall;
          stats.steps = window_steps;
          stats.dropped_steps = window_dropped;
          stats.on_stand = !released_;
          on_stats_(stats);
        }
        window_start = now;
        window_sim_start = data_->time;
        window_steps = 0;
        window_dropped = 0;
      }
      std::this_thread::sleep_until(next);
    }
    if (record_ != nullptr) std::fflush(record_);
  }

  // One physics step under the newest command: a reset or push asked for since the last
  // step applies first; held on the stand until user mode comes on. Returns the number of
  // the reset it applied, or 0.
  uint64_t stepOnce() {
    Command command;
    std::optional<Variation> reset;
    std::optional<Push> push;
    uint64_t reset_number = 0;
    {
      std::lock_guard<std::mutex> lock(command_mutex_);
      command = command_;
      reset = std::exchange(pending_reset_, std::nullopt);
      push = std::exchange(pending_push_, std::nullopt);
      if (reset) reset_number = resets_asked_;
    }
    if (reset) applyReset(*reset);
    if (push) startPush(*push);
    released_ = released_ || command.user_mode;
    computeTorques(command, torque_);
    if (released_) {
      for (std::size_t j = 0; j < kJointCount; ++j) data_->ctrl[j] = torque_[j];
      mj_step(model_, data_);
      if (push_steps_ > 0 && --push_steps_ == 0) {
        for (int i = 0; i < 6; ++i) data_->xfrc_applied[6 * base_ + i] = 0.0;
      }
      trackTilt();
    } else {
      torque_.fill(0.0);
      data_->time += model_->opt.timestep;
    }
    if (record_ != nullptr && data_->time + 1e-9 >= next_record_) {
      recordPose();
      next_record_ += kRecordPeriod;
    }
    return reset_number;
  }

  // A reset in lockstep takes effect at once, without a step: the next answer must show
  // the robot back on its stand.
  void stepOnceIdle() {
    std::optional<Variation> reset;
    {
      std::lock_guard<std::mutex> lock(command_mutex_);
      reset = std::exchange(pending_reset_, std::nullopt);
    }
    if (reset) applyReset(*reset);
    publishSnapshot(torque_);
  }

  void keepNominal() {
    nominal_mass_ = model_->body_mass[base_];
    std::copy_n(model_->body_inertia + 3 * base_, 3, nominal_inertia_.begin());
    nominal_friction_.assign(model_->geom_friction, model_->geom_friction + 3 * model_->ngeom);
    nominal_lo_ = limit_lo_;
    nominal_hi_ = limit_hi_;
  }

  void applyReset(const Variation& variation) {
    model_->body_mass[base_] = nominal_mass_ * variation.mass;
    for (std::size_t i = 0; i < 3; ++i) {
      model_->body_inertia[3 * base_ + static_cast<int>(i)] = nominal_inertia_[i] * variation.mass;
    }
    // Only the sliding coefficient; a contact takes the larger of its two geoms' values.
    for (std::size_t g = 0; g < nominal_friction_.size(); g += 3) {
      model_->geom_friction[g] = nominal_friction_[g] * variation.friction;
    }
    for (std::size_t j = 0; j < kJointCount; ++j) {
      limit_lo_[j] = nominal_lo_[j] * variation.torque_limit;
      limit_hi_[j] = nominal_hi_[j] * variation.torque_limit;
    }
    // Quantities derived from the masses (total masses, inverse weights) follow them.
    mj_setConst(model_, data_);
    // The clock runs on across episodes, so a recorded trajectory stays in time order.
    const double time = data_->time;
    if (model_->nkey > 0) {
      mj_resetDataKeyframe(model_, data_, 0);
    } else {
      mj_resetData(model_, data_);
    }
    data_->time = time;
    mj_forward(model_, data_);
    released_ = false;
    push_steps_ = 0;
    torque_.fill(0.0);
    std::lock_guard<std::mutex> lock(snapshot_mutex_);
    episode_ = EpisodeRecord{};
    episode_start_ = time;
  }

  void startPush(const Push& push) {
    mjtNum rot[9];
    mju_quat2Mat(rot, data_->qpos + model_->jnt_qposadr[0] + 3);
    mjtNum world[3];
    mju_mulMatVec3(world, rot, push.force.data());
    for (int i = 0; i < 3; ++i) data_->xfrc_applied[6 * base_ + i] = world[i];
    push_steps_ = std::max(1L, std::lround(push.seconds / model_->opt.timestep));
  }

  void trackTilt() {
    const mjtNum* quat = data_->qpos + model_->jnt_qposadr[0] + 3;
    // The body's z axis against the vertical: its world z component is 1 - 2 (x^2 + y^2).
    const double up = 1.0 - 2.0 * (quat[1] * quat[1] + quat[2] * quat[2]);
    const double tilt = std::acos(std::clamp(up, -1.0, 1.0));
    std::lock_guard<std::mutex> lock(snapshot_mutex_);
    episode_.sim_time = data_->time - episode_start_;
    episode_.largest_tilt = std::max(episode_.largest_tilt, tilt);
  }

  // torque = kp (target - q) - kd qdot, or the values themselves with torque control; zero
  // before gains and outside user mode; always within the actuator's limits.
  void computeTorques(const Command& command, std::array<double, kJointCount>& torque) const {
    for (std::size_t j = 0; j < kJointCount; ++j) {
      double tau = 0.0;
      if (command.user_mode && command.gains_received) {
        if (command.torque_control) {
          tau = command.action[j];
        } else {
          const double q = data_->qpos[qpos_adr_[j]];
          const double qd = data_->qvel[dof_adr_[j]];
          tau = command.kp[j] * (command.action[j] - q) - command.kd[j] * qd;
        }
      }
      if (!std::isfinite(tau)) tau = 0.0;
      torque[j] = std::clamp(tau, limit_lo_[j], limit_hi_[j]);
    }
  }

  void publishSnapshot(const std::array<double, kJointCount>& torque) {
    ModelObservation obs;
    for (std::size_t j = 0; j < kJointCount; ++j) {
      obs.dof_pos[j] = static_cast<float>(data_->qpos[qpos_adr_[j]]);
      obs.dof_vel[j] = static_cast<float>(data_->qvel[dof_adr_[j]]);
      obs.dof_tau[j] = static_cast<float>(torque[j]);
    }
    // The free joint: position and orientation in qpos, world-frame linear and body-frame
    // angular velocity in qvel. Taken from qpos/qvel rather than xmat or sensors, which
    // still describe the state before the last step.
    const mjtNum* pos = data_->qpos + model_->jnt_qposadr[0];
    const mjtNum* vel = data_->qvel + model_->jnt_dofadr[0];
    mjtNum rot[9];
    mju_quat2Mat(rot, pos + 3);
    const mjtNum down[3] = {0.0, 0.0, -1.0};
    mjtNum grav_body[3];
    mjtNum vel_body[3];
    mju_mulMatTVec3(grav_body, rot, down);
    mju_mulMatTVec3(vel_body, rot, vel);
    for (int i = 0; i < 3; ++i) {
      obs.ang_vel[static_cast<std::size_t>(i)] = static_cast<float>(vel[3 + i]);
      obs.proj_grav[static_cast<std::size_t>(i)] = static_cast<float>(grav_body[i]);
      obs.lin_vel[static_cast<std::size_t>(i)] = static_cast<float>(vel_body[i]);
    }
    fillHeightMap(pos, rot, obs);
    std::lock_guard<std::mutex> lock(snapshot_mutex_);
    snapshot_ = obs;
  }

  // Base height above the ground at a grid of points laid out along the body's heading,
  // each found by a ray cast straight down onto the ground geoms.
  void fillHeightMap(const mjtNum* pos, const mjtNum* rot, ModelObservation& obs) {
    const double heading = std::atan2(rot[3], rot[0]);  // world yaw of the body's x axis
    const double c = std::cos(heading);
    const double s = std::sin(heading);
    const mjtNum down[3] = {0.0, 0.0, -1.0};
    for (std::size_t row = 0; row < kGridSide; ++row) {
      for (std::size_t col = 0; col < kGridSide; ++col) {
        const double ahead = kGridSpacing * static_cast<double>(row);
        const double side = kGridSpacing * (static_cast<double>(col) - 2.0);
        const mjtNum start[3] = {pos[0] + ahead * c - side * s, pos[1] + ahead * s + side * c,
                                 pos[2] + kRayStart};
        int geom = -1;
        const mjtNum dist =
            mj_ray(model_, data_, start, down, ground_groups_.data(), 1, -1, &geom, nullptr);
        // Off the edge of the world the ground counts as level.
        const double ground = (geom >= 0 && dist >= 0.0) ? start[2] - dist : 0.0;
        obs.height_map[row * kGridSide + col] = static_cast<float>(pos[2] - ground);
      }
    }
  }

  void recordPose() {
    std::fprintf(record_, "%.4f", data_->time);
    for (int i = 0; i < model_->nq; ++i) std::fprintf(record_, " %.6g", data_->qpos[i]);
    std::fputc('\n', record_);
  }

  StatsCallback on_stats_;
  mjModel* model_ = nullptr;
  mjData* data_ = nullptr;
  std::FILE* record_ = nullptr;
  std::array<int, kJointCount> qpos_adr_{};
  std::array<int, kJointCount> dof_adr_{};
  std::array<double, kJointCount> limit_lo_{};
  std::array<double, kJointCount> limit_hi_{};
  std::array<double, kJointCount> nominal_lo_{};
  std::array<double, kJointCount> nominal_hi_{};
  double nominal_mass_ = 0.0;
  std::array<double, 3> nominal_inertia_{};
  std::vector<mjtNum> nominal_friction_;
  int base_ = 0;
  std::array<mjtByte, mjNGROUP> ground_groups_{};

  std::mutex command_mutex_;
  Command command_;
  std::mutex snapshot_mutex_;
  ModelObservation snapshot_;
  EpisodeRecord episode_;
  double episode_start_ = 0.0;
  // The stepping thread's own (or, in lockstep, the caller's).
  bool released_ = false;
  std::array<double, kJointCount> torque_{};
  long push_steps_ = 0;
  double next_record_ = 0.0;
  std::optional<Variation> pending_reset_;
  std::optional<Push> pending_push_;
  uint64_t resets_asked_ = 0;  // these three under command_mutex_
  uint64_t resets_shown_ = 0;
  std::condition_variable reset_shown_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

}  // namespace sim

extern "C" __attribute__((visibility("default"))) sim::PhysicsBackend* tarvek_sim_create_rigid_body(
    const sim::RigidBodyConfig* config, char* error, std::size_t error_len) {
  mju_user_warning = sim::warnToStderr;
  mju_user_error = sim::errorToStderr;
  try {
    return new sim::RigidBody(*config);
  } catch (const std::exception& e) {
    if (error != nullptr && error_len > 0) std::snprintf(error, error_len, "%s", e.what());
  } catch (...) {
    if (error != nullptr && error_len > 0) std::snprintf(error, error_len, "unknown failure");
  }
  return nullptr;
}
