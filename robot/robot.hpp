#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bindings/creator_process.hpp"
#include "bindings/stop_check.hpp"
#include "dds/dds_layer.hpp"

namespace robot {

using sdk_dds::FloatVector;
using sdk_dds::ObservationMap;

// The user's handle on the robot's controller: user mode, gains, actions and observations
// over one DDS participant. Every call runs to its end on the caller's thread, unless `stop`
// (asked at least every 100 ms while a call blocks) ends it with bindings::Stopped; the object
// stays consistent then, and finish() still hands the robot back.
class Robot {
 public:
  static constexpr size_t kJointCount = 4;

  Robot(int32_t dds_domain_id, int32_t wait_obs_timeout_ms, bindings::StopCheck stop = {});
  ~Robot();
  Robot(const Robot&) = delete;
  Robot& operator=(const Robot&) = delete;

  void enableUserMode();
  void finish();
  void setGains(const FloatVector& kp, const FloatVector& kd);
  void doAction(const FloatVector& action, bool torque_ctrl);
  ObservationMap getObs();

 private:
  void switchUserModeOn();
  void sendUserMode(bool enabled);
  void sendAction(const FloatVector& values, bool torque);
  void finishSequence();
  void waitForControllerReaders();
  bool waitForController(dds_time_t deadline);
  void confirmFirstSample(dds_entity_t writer, bool& confirmed);
  static void checkLength(const FloatVector& v, const std::string& name);

  bindings::CreatorProcess creator_{"Robot"};
  bindings::StopCheck stop_;
  int32_t wait_obs_timeout_ms_;
  bool gains_set_ = false;
  bool user_mode_enabled_ = false;
  ObservationMap latest_obs_;
  FloatVector last_action_;
  std::filesystem::path runtime_state_path_;
  std::unique_ptr<sdk_dds::DdsContext> dds_;
  bool controller_waited_ = false;
  // End of the first-contact budget on the DDS clock, and which writers' first samples have
  // had their chance to be acknowledged within it.
  dds_time_t first_contact_deadline_ = 0;
  bool mode_confirmed_ = false;
  bool gains_confirmed_ = false;
  bool action_confirmed_ = false;
  // Controllers whose readers the user mode writer had matched when user mode on was last
  // written, and whether off was written since.
  std::vector<dds_guid_t> mode_on_controllers_;
  bool mode_off_written_ = false;
};

}  // namespace robot
