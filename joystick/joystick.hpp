#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bindings/creator_process.hpp"
#include "bindings/stop_check.hpp"
#include "dds/dds_layer.hpp"
#include "joystick/command_mapping.hpp"
#include "joystick/dynamic_param_client.hpp"

namespace joystick {

// Reads the operator's gamepad as the robot publishes it, ordered by the user's mapping.
// Construction configures the robot once over its dynamic-parameter service. `stop` is asked
// at least every 100 ms while a call blocks: the service waits end as a ROS 2 shutdown ends
// them, the command wait with bindings::Stopped.
class Joystick {
 public:
  Joystick(const std::vector<std::string>& cmd_mapping, const CommandRanges& cmd_range,
           int32_t dds_domain_id, int32_t ros2_domain_id, bindings::StopCheck stop = {});
  ~Joystick();
  Joystick(const Joystick&) = delete;
  Joystick& operator=(const Joystick&) = delete;

  // The newest command's value for each mapped key, or zeros when none arrived in 10 ms.
  std::vector<double> getCmd();

 private:
  bindings::CreatorProcess creator_{"Joystick"};
  bindings::StopCheck stop_;
  // Declaration order is teardown order reversed: the state path goes first, then the ROS 2
  // client and node, then the DDS entities, then the tables.
  std::vector<std::string> cmd_mapping_;
  SlotMap slot_of_;
  RangeTable range_low_{};
  RangeTable range_high_{};
  std::unique_ptr<sdk_dds::DdsContext> dds_;
  std::unique_ptr<DynamicParamClient> param_client_;
  std::filesystem::path runtime_state_path_;
};

}  // namespace joystick
