#pragma once
// The doctor's findings as text for a person and as JSON for a script.
#include <array>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "doctor/diagnosis.hpp"
#include "doctor/probe.hpp"
#include "robot/runtime_state.hpp"

namespace doctor {

// The runtime state file a Joystick on the DDS domain would read, judged by its reader.
struct RuntimeStateInfo {
  std::string path;
  std::string error;  // the temporary directory is unusable
  robot::RuntimeStateRead read = robot::RuntimeStateRead::Missing;
  std::array<float, 4> kp = robot::kDefaultKp;
  std::array<float, 4> kd = robot::kDefaultKd;
};

RuntimeStateInfo inspectRuntimeStateOf(int32_t ddsDomain);

struct Report {
  std::string cycloneUri;  // empty: not set
  uint32_t ddsDomain = 1;
  uint32_t rosDomain = 0;
  double listenSeconds = 0;
  std::string serviceName;
  RuntimeStateInfo runtimeState;
  ProbeResult probe;
  Diagnosis diagnosis;
  std::vector<std::string> notes;

  bool usable() const noexcept {
    return diagnosis.controllerUsable && diagnosis.serviceUsable && !probe.acks.tooSlow();
  }
};

nlohmann::json toJson(const Report& report);
std::string toText(const Report& report);

}  // namespace doctor
