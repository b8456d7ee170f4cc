#pragma once

// The JSON-lines protocol between the simulator and whoever drives it (tests, a user at a
// terminal): one event object per stdout line, one command object per stdin line.

#include <array>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim {

// Insertion order keeps "event" and "t" first on every line, which makes logs readable.
using Json = nlohmann::ordered_json;

// A command that cannot be carried out; its text becomes an error event.
class ProtocolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// CLOCK_MONOTONIC in seconds: the clock of Python's time.monotonic(), so tests can compare.
double monotonicSeconds();

// {"event": name, "t": now}; callers append their fields.
Json makeEvent(const char* name);

// A number for an event. JSON has no infinities or NaN, but the readers of our events
// (Python's json module among them) accept the literals Infinity, -Infinity and NaN, and
// a controller must be able to report exactly what it received; so non-finite values are
// carried as marked strings and written as those literals.
Json jsonNumber(double value);
Json floatsToJson(const float* values, std::size_t count);

// Writes whole lines and flushes each one. DDS listener threads and the main loop both emit,
// so every line is written under one lock and lines never interleave.
class EventSink {
 public:
  explicit EventSink(std::FILE* out) : out_(out) {}
  EventSink(const EventSink&) = delete;
  EventSink& operator=(const EventSink&) = delete;

  void emit(const Json& event) noexcept;
  void error(const std::string& message) noexcept;
  // Runs `fn` under the output lock, for state that must change atomically with what is
  // printed (matched counts before and after "ready").
  template <typename Fn>
  void locked(Fn&& fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    fn();
  }
  // Only for use inside locked().
  void emitUnlocked(const Json& event) noexcept;

 private:
  std::mutex mutex_;
  std::FILE* out_;
};

// The seven observation members, in declaration order.
constexpr std::size_t kObsFieldCount = 7;
constexpr std::array<const char*, kObsFieldCount> kObsFieldNames{
    "dof_pos", "dof_vel", "dof_tau", "ang_vel", "proj_grav", "lin_vel", "height_map"};

// Values that replace the model's for some observation members; an empty vector is an
// empty sequence, an empty optional leaves the member to the model.
struct ObsOverrides {
  std::array<std::optional<std::vector<float>>, kObsFieldCount> fields;

  // Later overrides win member by member.
  void apply(const ObsOverrides& other);
};

// {"dof_pos": [..], ...}; unknown names and non-numeric entries are refused as a whole.
ObsOverrides parseObsFields(const Json& fields);

std::vector<float> parseFloatList(const Json& value, const std::string& what);

enum class ServiceMode { accept, reject, reject_empty, silent, off };

std::optional<ServiceMode> serviceModeFromText(const std::string& text);
const char* serviceModeText(ServiceMode mode);

}  // namespace sim
