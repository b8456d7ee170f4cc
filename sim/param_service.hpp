#pragma once

#include <dds/dds.h>

#include <memory>
#include <optional>
#include <string>

#include "ros2/dynamic_param_service.hpp"
#include "ros2/node.hpp"
#include "ros2/server.hpp"
#include "sim/protocol.hpp"

namespace sim {

// The robot's /dynamic_param_config service as the joystick meets it: every request is
// reported in full, and answered (or not) as the current mode says. The main loop owns
// the wait; this class only says which condition to wait on and handles what arrived.
class ParamService {
 public:
  // Creates the ROS 2 context and node on the given domain only when a mode needs a
  // server, so "off" leaves no ROS 2 entity at all.
  ParamService(ServiceMode mode, std::string reject_message, uint32_t ros_domain,
               EventSink& sink);
  ~ParamService();
  ParamService(const ParamService&) = delete;
  ParamService& operator=(const ParamService&) = delete;

  // The wait set that the main loop waits on; the request condition is attached to it
  // (with `attach`) whenever a server exists.
  void attachTo(dds_entity_t waitset, dds_attach_t attach);
  // Switches modes; creating or deleting the server as needed.
  void setMode(ServiceMode mode, std::optional<std::string> reject_message);
  // Takes every waiting request, reports it and answers it as the mode says.
  void handleRequests();

  ServiceMode mode() const noexcept { return mode_; }
  uint32_t rosDomain() const noexcept { return ros_domain_; }

 private:
  using Server = ros2::Server<core::srv::DynamicParam>;

  void ensureServer();
  void dropServer() noexcept;
  void report(const Server::Received& received);
  void answer(const Server::Received& received);

  ServiceMode mode_;
  const std::string default_reject_message_;
  std::string reject_message_;
  uint32_t ros_domain_;
  EventSink& sink_;
  dds_entity_t waitset_ = 0;
  dds_attach_t attach_ = 0;
  std::unique_ptr<ros2::Node> node_;
  std::unique_ptr<Server> server_;
};

}  // namespace sim
