#include "joystick/dynamic_param_client.hpp"

#include <cstdlib>
#include <stdexcept>

#include "ros2/context.hpp"

namespace joystick {

namespace {

constexpr std::chrono::seconds kServiceWait{3};
constexpr std::chrono::seconds kAnswerWait{5};

ros2::Durability parseDurability(const std::string& text) {
  if (text == "volatile") return ros2::Durability::Volatile;
  if (text == "transient_local") return ros2::Durability::TransientLocal;
  throw std::invalid_argument("Unsupported dynamic_param QoS durability: " + text);
}

DynamicParamClient::Service::Request toRequest(const DynamicParamValues& v) {
  DynamicParamClient::Service::Request r;
  r.field_1 = v.field_1;
  r.kp = v.kp;
  r.kd = v.kd;
  r.field_4 = v.field_4;
  r.slot_of = v.slot_of;
  r.dpad_step_x = v.dpad_step_x;
  r.dpad_step_y = v.dpad_step_y;
  r.field_8 = v.field_8;
  r.field_9 = v.field_9;
  r.range_low = v.range_low;
  r.range_high = v.range_high;
  r.field_12 = v.field_12;
  r.field_13 = v.field_13;
  r.field_14 = v.field_14;
  r.field_15 = v.field_15;
  r.lower_bounds = v.lower_bounds;
  r.upper_bounds = v.upper_bounds;
  r.field_18 = v.field_18;
  r.field_19 = v.field_19;
  r.field_20 = v.field_20;
  r.field_21 = v.field_21;
  r.field_22 = v.field_22;
  r.field_23 = v.field_23;
  return r;
}

}  // namespace

void DynamicParamClient::connect(const DynamicParamConfig& config, const ros2::StopRequested& stop) {
  config_ = config;
  ros2::Context& context = ros2::Context::global();
  if (!context.isValid()) {
    // The domain travels through the environment, as the client library reads it there.
    const int32_t domain = config_.domain_id < 0 ? 0 : config_.domain_id;
    ::setenv("ROS_DOMAIN_ID", std::to_string(domain).c_str(), 1);
    context.init(config_.node_name);
  }
  ros2::QosProfile qos;
  qos.depth = config_.depth > 0 ? config_.depth : 1;
  node_ = std::make_shared<ros2::Node>(config_.node_name, context);
  qos.durability = parseDurability(config_.durability);
  client_ = std::make_shared<ros2::Client<Service>>(*node_, config_.service_name, qos);
  if (!client_->waitForService(kServiceWait, stop)) {
    throw std::runtime_error("dynamic_param service is unavailable");
  }
  ready_ = true;
}

void DynamicParamClient::sendRequest(const DynamicParamValues& values,
                                     const ros2::StopRequested& stop) {
  if (!ready_) connect(config_, stop);
  const Service::Request request = toRequest(values);
  const ros2::PendingRequest pending = client_->asyncSend(request);
  Service::Response response;
  switch (client_->wait(pending, kAnswerWait, response, stop)) {
    case ros2::WaitResult::TimedOut:
      throw std::runtime_error("dynamic_param service request timed out");
    case ros2::WaitResult::Interrupted:
      throw std::runtime_error("dynamic_param service request failed");
    case ros2::WaitResult::Answered:
      break;
  }
  if (response.success) return;
  if (response.message.empty()) throw std::runtime_error("dynamic_param request rejected");
  throw std::runtime_error("dynamic_param request rejected: " + response.message);
}

}  // namespace joystick
