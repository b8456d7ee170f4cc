#include "sim/disturbances.hpp"

#include <cmath>

#include "sim/commands.hpp"

namespace sim {

double Random::uniform() {
  // splitmix64: small, fast and fully specified.
  uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-53;
}

double Random::uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }

Randomizer::Randomizer(const RandomizeOptions& options)
    : options_(options), random_(options.seed.value_or(0)) {}

Draws Randomizer::draw() {
  Draws draws;
  if (!enabled()) return draws;
  const auto around_one = [this](double range) {
    return random_.uniform(1.0 - range, 1.0 + range);
  };
  draws.variation.mass = around_one(options_.mass_range);
  draws.variation.friction = around_one(options_.friction_range);
  draws.variation.torque_limit = around_one(options_.torque_limit_range);
  draws.answer_delay = random_.uniform(0.0, options_.max_answer_delay);
  return draws;
}

PushCommand parsePush(const Json& command) {
  PushCommand push;
  const Json& force = required(command, "force");
  if (!force.is_number() || !std::isfinite(force.get<double>()) || force.get<double>() < 0.0) {
    throw ProtocolError("\"force\" must be a number of newtons, 0 or more");
  }
  std::array<double, 3> direction{1.0, 0.0, 0.0};
  if (const Json* given = member(command, "direction")) {
    const std::vector<float> values = parseFloatList(*given, "\"direction\"");
    if (values.size() != 3) throw ProtocolError("\"direction\" must hold 3 numbers");
    for (std::size_t i = 0; i < 3; ++i) direction[i] = values[i];
  }
  const double norm = std::hypot(direction[0], direction[1], direction[2]);
  if (!std::isfinite(norm) || norm == 0.0) {
    throw ProtocolError("\"direction\" must be a finite vector other than zero");
  }
  if (const Json* duration = member(command, "duration")) {
    if (!duration->is_number() || !(duration->get<double>() > 0.0) ||
        duration->get<double>() > 10.0) {
      throw ProtocolError("\"duration\" must be a number of seconds above 0 and at most 10");
    }
    push.seconds = duration->get<double>();
  }
  for (std::size_t i = 0; i < 3; ++i) push.force[i] = force.get<double>() * direction[i] / norm;
  return push;
}

Disturbances::Disturbances(const PushOptions& options, uint64_t seed)
    // Its own stream, so adding pushes leaves an episode's other draws as they were.
    : options_(options), random_(seed ^ 0x5bd1e995ULL) {
  episodeStarted();
}

void Disturbances::episodeStarted() {
  next_ = options_.every;
  pushes_ = 0;
}

void Disturbances::push(PhysicsBackend& backend, const PushCommand& push) {
  backend.push(push.force, push.seconds);
  ++pushes_;
}

void Disturbances::poll(PhysicsBackend& backend) {
  if (!(options_.every > 0.0)) return;
  const double now = backend.episodeRecord().sim_time;
  if (now + 1e-9 < next_) return;
  // One push however late the poll: a backlog would only replace itself.
  while (next_ <= now + 1e-9) next_ += options_.every;
  const double angle = random_.uniform(0.0, 6.283185307179586);
  const std::array<double, 3> force{options_.force * std::cos(angle),
                                    options_.force * std::sin(angle), 0.0};
  push(backend, PushCommand{force, options_.duration});
}

}  // namespace sim
