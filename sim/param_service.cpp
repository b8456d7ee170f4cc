#include "sim/param_service.hpp"

#include <cstdlib>
#include <exception>
#include <utility>

#include "dds/dds_layer.hpp"

namespace sim {

namespace {

constexpr const char* kNodeName = "tarvek_sim";

template <typename T>
Json integers(const T& values) {
  Json list = Json::array();
  for (const auto v : values) list.push_back(static_cast<int64_t>(v));
  return list;
}

Json floats(const std::vector<float>& values) { return floatsToJson(values.data(), values.size()); }

template <std::size_t N>
Json floats(const std::array<float, N>& values) {
  return floatsToJson(values.data(), values.size());
}

Json requestFields(const core::srv::DynamicParam::Request& r) {
  Json fields = Json::object();
  fields["field_1"] = integers(r.field_1);
  fields["kp"] = floats(r.kp);
  fields["kd"] = floats(r.kd);
  fields["field_4"] = floats(r.field_4);
  fields["slot_of"] = integers(r.slot_of);
  fields["dpad_step_x"] = jsonNumber(r.dpad_step_x);
  fields["dpad_step_y"] = jsonNumber(r.dpad_step_y);
  fields["field_8"] = jsonNumber(r.field_8);
  fields["field_9"] = jsonNumber(r.field_9);
  fields["range_low"] = floats(r.range_low);
  fields["range_high"] = floats(r.range_high);
  fields["field_12"] = jsonNumber(r.field_12);
  fields["field_13"] = jsonNumber(r.field_13);
  fields["field_14"] = r.field_14;
  fields["field_15"] = integers(r.field_15);
  fields["lower_bounds"] = floats(r.lower_bounds);
  fields["upper_bounds"] = floats(r.upper_bounds);
  fields["field_18"] = jsonNumber(r.field_18);
  fields["field_19"] = jsonNumber(r.field_19);
  fields["field_20"] = jsonNumber(r.field_20);
  fields["field_21"] = floats(r.field_21);
  fields["field_22"] = r.field_22;
  Json groups = Json::array();
  for (const auto& group : r.field_23) groups.push_back(floats(group));
  fields["field_23"] = std::move(groups);
  return fields;
}

}  // namespace

ParamService::ParamService(ServiceMode mode, std::string reject_message, uint32_t ros_domain,
                           EventSink& sink)
    : mode_(mode),
      default_reject_message_(reject_message),
      reject_message_(std::move(reject_message)),
      ros_domain_(ros_domain),
      sink_(sink) {
  if (mode_ != ServiceMode::off) ensureServer();
}

ParamService::~ParamService() { dropServer(); }

void ParamService::attachTo(dds_entity_t waitset, dds_attach_t attach) {
  waitset_ = waitset;
  attach_ = attach;
  if (server_) {
    sdk_dds::checkRc(dds_waitset_attach(waitset_, server_->endpoints().requestCondition(), attach_),
                     "dds_waitset_attach(" + server_->serviceName() + ")");
  }
}

void ParamService::ensureServer() {
  if (server_) return;
  ros2::Context& context = ros2::Context::global();
  if (!context.isValid()) {
    // The layer takes its domain from the environment, as a ROS 2 process does.
    const std::string domain = std::to_string(ros_domain_);
    setenv("ROS_DOMAIN_ID", domain.c_str(), 1);
    context.init(kNodeName);
  }
  if (!node_) node_ = std::make_unique<ros2::Node>(kNodeName);
  auto server = std::make_unique<Server>(*node_, core::srv::DynamicParam::serviceName);
  if (waitset_ != 0) {
    sdk_dds::checkRc(dds_waitset_attach(waitset_, server->endpoints().requestCondition(), attach_),
                     "dds_waitset_attach(" + server->serviceName() + ")");
  }
  server_ = std::move(server);
}

void ParamService::dropServer() noexcept {
  if (!server_) return;
  if (waitset_ != 0) (void)dds_waitset_detach(waitset_, server_->endpoints().requestCondition());
  server_.reset();
}

void ParamService::setMode(ServiceMode mode, std::optional<std::string> reject_message) {
  reject_message_ = reject_message ? std::move(*reject_message) : default_reject_message_;
  if (mode == ServiceMode::off) {
    // Clients must see the service vanish, not merely stop answering.
    dropServer();
  } else {
    ensureServer();
  }
  mode_ = mode;
}

void ParamService::handleRequests() {
  if (!server_) return;
  while (auto received = server_->takeRequest()) {
    report(*received);
    if (mode_ != ServiceMode::silent) answer(*received);
  }
}

void ParamService::report(const Server::Received& received) {
  Json event = makeEvent("service_request");
  event["client_id"] = received.id.header.clientId;
  event["sequence_number"] = received.id.header.sequenceNumber;
  event["fields"] = requestFields(received.request);
  sink_.emit(event);
}

void ParamService::answer(const Server::Received& received) {
  core::srv::DynamicParam::Response response;
  response.success = mode_ == ServiceMode::accept;
  if (mode_ == ServiceMode::reject) response.message = reject_message_;
  const bool delivered = server_->sendResponse(received.id, response);
  Json event = makeEvent("service_reply");
  event["success"] = response.success;
  event["message"] = response.message;
  // A client that left before its reply reader matched gets nothing; say so.
  event["delivered"] = delivered;
  sink_.emit(event);
}

}  // namespace sim
