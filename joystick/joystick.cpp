#include "joystick/joystick.hpp"

#include <limits>

#include "robot/runtime_state.hpp"

namespace joystick {

namespace {

constexpr dds_duration_t kCommandWait = DDS_MSECS(10);

// The configuration request: what this joystick decided, plus the values the robot
// expects from every client.
DynamicParamValues configurationValues(const std::array<float, 4>& kp,
                                       const std::array<float, 4>& kd, const SlotMap& slot_of,
                                       const CommandRanges& ranges, const RangeTable& low,
                                       const RangeTable& high) {
  DynamicParamValues v;
  v.field_1 = {1, 2, 3, 4};
  v.kp.assign(kp.begin(), kp.end());
  v.kd.assign(kd.begin(), kd.end());
  v.field_4 = {36.0f, 36.0f, 17.0f, 17.0f};
  for (size_t i = 0; i < kKeyCount; ++i) v.slot_of[i] = slot_of.at(kCanonicalKeys[i]);
  v.dpad_step_x = static_cast<float>(ranges.dpad_step_x);
  v.dpad_step_y = static_cast<float>(ranges.dpad_step_y);
  v.field_8 = 50.0f;
  v.field_9 = 0.08f;
  v.field_12 = 5.0;
  v.field_13 = 2.5;
  v.field_14 = true;
  v.field_15 = {0, 1, 2, 3, 4, 5};
  v.range_low = low;
  v.range_high = high;
  v.lower_bounds.fill(std::numeric_limits<float>::lowest());
  v.upper_bounds.fill(std::numeric_limits<float>::max());
  v.field_18 = 1.0f;
  v.field_19 = 100.0f;
  v.field_20 = 100.0f;
  v.field_21.assign(5, 1.0f);
  v.field_22 = std::numeric_limits<int32_t>::min();  // the bits 0x80000000
  for (size_t g = 0; g < 6; ++g) v.field_23[g] = {0.0f, 0.1f, 18.0f, 20.0f};
  v.field_23[6] = {-1.0f, -1.0f, -1.0f, 60.0f};
  v.field_23[7] = {-1.0f, -1.0f, -1.0f, std::numeric_limits<float>::infinity()};
  return v;
}

}  // namespace

Joystick::Joystick(const std::vector<std::string>& cmd_mapping, const CommandRanges& cmd_range,
                   int32_t dds_domain_id, int32_t ros2_domain_id, bindings::StopCheck stop)
    : stop_(std::move(stop)),
      dds_(std::make_unique<sdk_dds::DdsContext>()),
      param_client_(std::make_unique<DynamicParamClient>()) {
  // Any throw below unwinds the members already built: DDS entities are closed and the
  // ROS 2 client and node released before the error reaches the caller.
  runtime_state_path_ = robot::runtimeStatePath(dds_domain_id);

  checkCmdMapping(cmd_mapping);
  checkCmdRanges(cmd_range);

  cmd_mapping_ = effectiveMapping(cmd_mapping);
  slot_of_ = assignSlots(cmd_mapping_);
  fillRangeTables(slot_of_, cmd_range, range_low_, range_high_);

  dds_->config = sdk_dds::DdsConfig{};
  dds_->config.domain_id = dds_domain_id;
  dds_->ensure();

  DynamicParamConfig ros_config;
  ros_config.domain_id = ros2_domain_id;
  param_client_->connect(ros_config, stop_);

  std::array<float, 4> kp = robot::kDefaultKp;
  std::array<float, 4> kd = robot::kDefaultKd;
  robot::readRuntimeState(runtime_state_path_, kp, kd);

  param_client_->sendRequest(
      configurationValues(kp, kd, slot_of_, cmd_range, range_low_, range_high_), stop_);
}

Joystick::~Joystick() {
  if (!creator_.isCurrent()) {
    // A forked child's copy: the DDS and ROS 2 entities are the parent's.
    (void)param_client_.release();
    (void)dds_.release();
  }
}

std::vector<double> Joystick::getCmd() {
  creator_.check("Joystick");
  std::vector<double> result(cmd_mapping_.size(), 0.0);
  dds_->ensure();
  const sdk_dds::DdsEndpoints& ep = dds_->endpoints;
  sdk_dds::FloatVector command;
  if (!sdk_dds::takeLatestCommand(ep.user_command_reader, command)) {
    dds_attach_t triggered[1];
    const dds_return_t rc =
        bindings::waitsetWait(ep.user_command_waitset, triggered, 1, kCommandWait, stop_);
    if (rc == 0) return result;
    sdk_dds::checkRc(rc, "dds_waitset_wait(user_command)");
    if (!sdk_dds::takeLatestCommand(ep.user_command_reader, command)) return result;
  }
  for (size_t i = 0; i < cmd_mapping_.size(); ++i) {
    const auto slot = static_cast<size_t>(slot_of_.at(cmd_mapping_[i]));
    if (slot < command.size()) result[i] = static_cast<double>(command[slot]);
  }
  return result;
}

}  // namespace joystick
