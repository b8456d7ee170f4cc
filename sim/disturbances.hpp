#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "sim/model.hpp"
#include "sim/protocol.hpp"

namespace sim {

// A seeded stream of numbers that is the same on every platform and standard library
// (the standard distributions are not), so a seed names the same draws everywhere.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  double uniform();                        // [0, 1)
  double uniform(double lo, double hi);    // [lo, hi)

 private:
  uint64_t state_;
};

struct RandomizeOptions {
  std::optional<uint64_t> seed;  // none: every episode runs the nominal robot
  double mass_range = 0.15;      // each a relative half-width: mass in [1 - r, 1 + r]
  double friction_range = 0.30;
  double torque_limit_range = 0.10;
  double max_answer_delay = 0.002;  // seconds; drawn from [0, max]
};

// What one episode drew.
struct Draws {
  Variation variation;
  double answer_delay = 0.0;  // seconds
};

// Per-episode draws: the n-th episode of a seed gets the same draws in every run.
class Randomizer {
 public:
  explicit Randomizer(const RandomizeOptions& options);
  bool enabled() const { return options_.seed.has_value(); }
  Draws draw();

 private:
  RandomizeOptions options_;
  Random random_;
};

struct PushOptions {
  double every = 0.0;     // seconds of simulated time between random pushes; 0: none
  double force = 0.0;     // newtons
  double duration = 0.1;  // seconds
};

struct PushCommand {
  std::array<double, 3> force{};  // newtons, body frame
  double seconds = 0.1;
};

// {"cmd":"push","force":N,"direction":[x,y,z],"duration":S}: direction in the body's frame,
// forward by default; duration 0.1 s by default.
PushCommand parsePush(const Json& command);

// Random pushes every few seconds of an episode's simulated time, in a horizontal direction
// drawn from the seed; and the count of every push of the episode.
class Disturbances {
 public:
  Disturbances(const PushOptions& options, uint64_t seed);

  void episodeStarted();
  void push(PhysicsBackend& backend, const PushCommand& push);
  // After the backend advanced: starts the random push that is due, if any.
  void poll(PhysicsBackend& backend);
  int pushes() const { return pushes_; }

 private:
  PushOptions options_;
  Random random_;
  double next_ = 0.0;
  int pushes_ = 0;
};

}  // namespace sim
