#pragma once
// The service type core/srv/DynamicParam: its request and response as C++ values,
// and the glue Client<>/Server<> need to put them on the wire.
#include <dds/dds.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/srv/DynamicParam.h"  // generated from ros2/core/srv/DynamicParam.idl
#include "ros2/service.hpp"

namespace core::srv {

struct DynamicParam {
  static constexpr const char* serviceName = "/dynamic_param_config";
  static constexpr const char* requestTopic = "rq/dynamic_param_configRequest";
  static constexpr const char* replyTopic = "rr/dynamic_param_configReply";

  // The 23 request fields in wire order; numbered names where the value has no
  // meaning of its own to this side.
  struct Request {
    std::vector<int8_t> field_1;
    std::vector<float> kp;
    std::vector<float> kd;
    std::vector<float> field_4;
    std::array<int32_t, 8> slot_of{};
    float dpad_step_x = 0.0f;
    float dpad_step_y = 0.0f;
    float field_8 = 0.0f;
    float field_9 = 0.0f;
    std::array<float, 8> range_low{};
    std::array<float, 8> range_high{};
    double field_12 = 0.0;
    double field_13 = 0.0;
    bool field_14 = false;
    std::array<int32_t, 6> field_15{};
    std::array<float, 8> lower_bounds{};
    std::array<float, 8> upper_bounds{};
    float field_18 = 0.0f;
    float field_19 = 0.0f;
    float field_20 = 0.0f;
    std::vector<float> field_21;
    int32_t field_22 = 0;
    std::array<std::array<float, 4>, 8> field_23{};
  };

  struct Response {
    bool success = false;
    std::string message;
  };

  using WireRequest = core_srv_dds__DynamicParam_Request_;
  using WireResponse = core_srv_dds__DynamicParam_Response_;

  static const dds_topic_descriptor_t* requestDescriptor() noexcept;
  static const dds_topic_descriptor_t* responseDescriptor() noexcept;

  // toWire leaves `wire` pointing into `value`: write it before `value` changes.
  // Throws std::length_error for a sequence longer than the wire can count.
  static void toWire(const Request& value, WireRequest& wire);
  static void toWire(const Response& value, WireResponse& wire);
  // fromWire copies everything, so the sample's loan can be returned at once.
  static Request fromWire(const WireRequest& wire);
  static Response fromWire(const WireResponse& wire);

  static void setHeader(WireRequest& wire, const ros2::RequestHeader& header) noexcept;
  static void setHeader(WireResponse& wire, const ros2::RequestHeader& header) noexcept;
  static ros2::RequestHeader header(const WireRequest& wire) noexcept;
  static ros2::RequestHeader header(const WireResponse& wire) noexcept;
};

}  // namespace core::srv
