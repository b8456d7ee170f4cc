#include "sim/protocol.hpp"

#include <cmath>
#include <ctime>
#include <limits>

namespace sim {

double monotonicSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

Json makeEvent(const char* name) {
  Json event = Json::object();
  event["event"] = name;
  event["t"] = monotonicSeconds();
  return event;
}

namespace {

// A control character never survives dumping unescaped, so a marked string shows up in the
// dumped text only as "\u0001...": unambiguous and cheap to look for.
constexpr char kNonFiniteMarker = '\x01';
constexpr const char* kDumpedMarker = "\"\\u0001";

void writeNonFiniteLiterals(std::string& line) {
  static const std::pair<std::string, std::string> kLiterals[] = {
      {"\"\\u0001Infinity\"", "Infinity"},
      {"\"\\u0001-Infinity\"", "-Infinity"},
      {"\"\\u0001NaN\"", "NaN"},
  };
  for (const auto& [marked, literal] : kLiterals) {
    for (auto pos = line.find(marked); pos != std::string::npos; pos = line.find(marked, pos)) {
      line.replace(pos, marked.size(), literal);
      pos += literal.size();
    }
  }
}

// JSON cannot spell infinity, so a magnitude beyond the float range (1e39) asks for it;
// converting such a double with a cast would be undefined.
float toFloat(double value) {
  constexpr double kMax = std::numeric_limits<float>::max();
  if (value > kMax) return std::numeric_limits<float>::infinity();
  if (value < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

}  // namespace

Json jsonNumber(double value) {
  if (std::isfinite(value)) return value;
  const char* literal = std::isnan(value) ? "NaN" : value > 0 ? "Infinity" : "-Infinity";
  return std::string(1, kNonFiniteMarker) + literal;
}

Json floatsToJson(const float* values, std::size_t count) {
  Json list = Json::array();
  if (values == nullptr) return list;
  list.get_ref<Json::array_t&>().reserve(count);
  // Widened exactly; the shortest double text then reads back as the same 32-bit float.
  for (std::size_t i = 0; i < count; ++i) list.push_back(jsonNumber(static_cast<double>(values[i])));
  return list;
}

void EventSink::emitUnlocked(const Json& event) noexcept {
  try {
    // Peers' bytes can reach event text; replace invalid UTF-8 rather than throw.
    std::string line = event.dump(-1, ' ', false, Json::error_handler_t::replace);
    if (line.find(kDumpedMarker) != std::string::npos) writeNonFiniteLiterals(line);
    line.push_back('\n');
    // A closed stdout must not end the simulator (SIGPIPE is ignored in main).
    (void)std::fwrite(line.data(), 1, line.size(), out_);
    (void)std::fflush(out_);
  } catch (...) {
    // Out of memory while formatting: drop the line, keep serving.
  }
}

void EventSink::emit(const Json& event) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  emitUnlocked(event);
}

void EventSink::error(const std::string& message) noexcept {
  try {
    Json event = makeEvent("error");
    event["message"] = message;
    emit(event);
  } catch (...) {
  }
}

void ObsOverrides::apply(const ObsOverrides& other) {
  for (std::size_t i = 0; i < kObsFieldCount; ++i) {
    if (other.fields[i]) fields[i] = other.fields[i];
  }
}

std::vector<float> parseFloatList(const Json& value, const std::string& what) {
  if (!value.is_array()) throw ProtocolError(what + " must be a list of numbers");
  std::vector<float> out;
  out.reserve(value.size());
  for (const Json& item : value) {
    if (!item.is_number()) throw ProtocolError(what + " must be a list of numbers");
    out.push_back(toFloat(item.get<double>()));
  }
  return out;
}

ObsOverrides parseObsFields(const Json& fields) {
  if (!fields.is_object()) throw ProtocolError("\"fields\" must be an object");
  ObsOverrides result;
  for (const auto& item : fields.items()) {
    std::size_t index = kObsFieldCount;
    for (std::size_t i = 0; i < kObsFieldCount; ++i) {
      if (item.key() == kObsFieldNames[i]) index = i;
    }
    if (index == kObsFieldCount) throw ProtocolError("unknown observation field: " + item.key());
    result.fields[index] = parseFloatList(item.value(), item.key());
  }
  return result;
}

std::optional<ServiceMode> serviceModeFromText(const std::string& text) {
  if (text == "accept") return ServiceMode::accept;
  if (text == "reject") return ServiceMode::reject;
  if (text == "reject_empty") return ServiceMode::reject_empty;
  if (text == "silent") return ServiceMode::silent;
  if (text == "off") return ServiceMode::off;
  return std::nullopt;
}

const char* serviceModeText(ServiceMode mode) {
  switch (mode) {
    case ServiceMode::accept: return "accept";
    case ServiceMode::reject: return "reject";
    case ServiceMode::reject_empty: return "reject_empty";
    case ServiceMode::silent: return "silent";
    case ServiceMode::off: return "off";
  }
  return "accept";
}

}  // namespace sim
