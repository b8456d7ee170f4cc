#pragma once
// The robot's configuration service, served from a thread of the test program itself, so
// that a joystick can be built without a simulator. It accepts every request.
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "ros2/context.hpp"
#include "ros2/dynamic_param_service.hpp"
#include "ros2/node.hpp"
#include "ros2/server.hpp"

class ParamServer {
 public:
  // Initialises the process's ROS 2 context on `ros2Domain` unless it already is; a
  // joystick built later in the process joins that context. With `accept` false every
  // request is refused.
  explicit ParamServer(int ros2Domain, bool accept = true) : accept_(accept) {
    if (!ros2::Context::global().isValid()) {
      setenv("ROS_DOMAIN_ID", std::to_string(ros2Domain).c_str(), 1);
      ros2::Context::global().init("param_server");
    }
    node_ = std::make_unique<ros2::Node>("param_server");
    server_ = std::make_unique<ros2::Server<Service>>(*node_, Service::serviceName);
    thread_ = std::thread([this] { serve(); });
  }
  ~ParamServer() {
    stop_ = true;
    thread_.join();
  }
  ParamServer(const ParamServer&) = delete;
  ParamServer& operator=(const ParamServer&) = delete;

  int answered() const { return answered_; }

 private:
  using Service = core::srv::DynamicParam;

  void serve() {
    using namespace std::chrono_literals;
    while (!stop_) {
      const ros2::RequestWait wait = server_->waitForRequest(20ms);
      if (wait == ros2::RequestWait::Interrupted) break;
      if (wait != ros2::RequestWait::Ready) continue;
      while (auto received = server_->takeRequest()) {
        if (server_->sendResponse(received->id, {accept_, accept_ ? "" : "refused by the test"}))
          ++answered_;
      }
    }
  }

  bool accept_;
  std::unique_ptr<ros2::Node> node_;
  std::unique_ptr<ros2::Server<Service>> server_;
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0};
  std::thread thread_;
};
