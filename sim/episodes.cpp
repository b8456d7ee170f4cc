#include "sim/episodes.hpp"

#include <cmath>

namespace sim {

Episodes::Episodes(const RandomizeOptions& randomize, EventSink& sink)
    : randomizer_(randomize), sink_(sink) {}

void Episodes::userMode(bool enabled, PhysicsBackend& backend, ClockPolicy& clock,
                        Disturbances& disturbances) {
  // Only changes count: a peer may write the same mode again.
  if (enabled == running_) return;
  running_ = enabled;
  if (!enabled) {
    report(backend, disturbances);
    return;
  }
  ++index_;
  draws_ = randomizer_.draw();
  backend.reset(draws_.variation);
  clock.setAnswerDelay(draws_.answer_delay);
  disturbances.episodeStarted();
}

void Episodes::report(PhysicsBackend& backend, const Disturbances& disturbances) {
  const EpisodeRecord record = backend.episodeRecord();
  const double tilt_deg = record.largest_tilt * 180.0 / M_PI;
  Json event = makeEvent("episode");
  event["index"] = index_;
  event["sim_time"] = record.sim_time;
  event["fallen"] = tilt_deg >= kFallenTiltDeg;
  event["largest_tilt"] = tilt_deg;
  event["pushes"] = disturbances.pushes();
  Json draws = Json::object();
  draws["mass"] = draws_.variation.mass;
  draws["friction"] = draws_.variation.friction;
  draws["torque_limit"] = draws_.variation.torque_limit;
  draws["answer_delay"] = draws_.answer_delay;
  event["draws"] = std::move(draws);
  sink_.emit(event);
}

}  // namespace sim
