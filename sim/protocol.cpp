#include "sim/protocol.hpp"

#include <ctime>

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

Json floatsToJson(const float* values, std::size_t count) {
  Json list = Json::array();
  if (values == nullptr) return list;
  list.get_ref<Json::array_t&>().reserve(count);
  // Widened exactly; the shortest double text then reads back as the same 32-bit float.
  for (std::size_t i = 0; i < count; ++i) list.push_back(static_cast<double>(values[i]));
  return list;
}

void EventSink::emitUnlocked(const Json& event) noexcept {
  try {
    // Peers' bytes can reach event text; replace invalid UTF-8 rather than throw.
    std::string line = event.dump(-1, ' ', false, Json::error_handler_t::replace);
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
    out.push_back(static_cast<float>(item.get<double>()));
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
