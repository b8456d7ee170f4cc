#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ros2/client.hpp"
#include "ros2/dynamic_param_service.hpp"
#include "ros2/node.hpp"

namespace joystick {

// Settings of the robot's dynamic-parameter service client.
struct DynamicParamConfig {
  int32_t domain_id = 0;
  std::string node_name = "sdk_joystick";
  std::string service_name = "/dynamic_param_config";
  int32_t depth = 10;
  std::string durability = "volatile";
};

// The 23 values of one configuration request. The two float64 fields, the flag and the six
// integers come before the two bound tables here, and after them on the wire.
struct DynamicParamValues {
  std::vector<int8_t> field_1;
  std::vector<float> kp;
  std::vector<float> kd;
  std::vector<float> field_4;
  std::array<int32_t, 8> slot_of{};
  float dpad_step_x = 0.0f;
  float dpad_step_y = 0.0f;
  float field_8 = 0.0f;
  float field_9 = 0.0f;
  double field_12 = 0.0;
  double field_13 = 0.0;
  bool field_14 = false;
  std::array<int32_t, 6> field_15{};
  std::array<float, 8> range_low{};
  std::array<float, 8> range_high{};
  std::array<float, 8> lower_bounds{};
  std::array<float, 8> upper_bounds{};
  float field_18 = 0.0f;
  float field_19 = 0.0f;
  float field_20 = 0.0f;
  std::vector<float> field_21;
  int32_t field_22 = 0;
  std::array<std::array<float, 4>, 8> field_23{};
};

// One node and one service client of the robot's configuration service.
class DynamicParamClient {
 public:
  using Service = core::srv::DynamicParam;

  explicit DynamicParamClient(DynamicParamConfig config = {}) : config_(std::move(config)) {}

  // Joins ROS 2 (initialising the process-wide context on first use), creates the node and
  // the client, and waits up to 3 s for the service. `stop` ends the wait as a shut-down
  // context does.
  void connect(const DynamicParamConfig& config, const ros2::StopRequested& stop = {});
  // Sends one request and waits up to 5 s for the robot's acceptance; throws otherwise.
  // `stop` ends the wait as a shut-down context does.
  void sendRequest(const DynamicParamValues& values, const ros2::StopRequested& stop = {});

  bool ready() const noexcept { return ready_; }
  const DynamicParamConfig& config() const noexcept { return config_; }

 private:
  // Declared so that destruction releases the client, then the node, then the settings.
  DynamicParamConfig config_;
  std::shared_ptr<ros2::Node> node_;
  std::shared_ptr<ros2::Client<Service>> client_;
  bool ready_ = false;
};

}  // namespace joystick
