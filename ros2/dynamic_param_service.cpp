#include "ros2/dynamic_param_service.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace core::srv {
namespace {

template <class Sequence, class T>
void lend(const std::vector<T>& values, Sequence& sequence) {
  if (values.size() > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("dynamic_param sequence too long for the wire");
  }
  // The writer only reads through the pointer; the C type has no const flavour.
  sequence._buffer = const_cast<T*>(values.data());
  sequence._length = static_cast<uint32_t>(values.size());
  sequence._maximum = sequence._length;
  sequence._release = false;
}

template <class T, class Sequence>
std::vector<T> copyOut(const Sequence& sequence) {
  if (sequence._buffer == nullptr) return {};
  return std::vector<T>(sequence._buffer, sequence._buffer + sequence._length);
}

template <class T, size_t N>
void copyArray(const T (&from)[N], std::array<T, N>& to) {
  std::copy(std::begin(from), std::end(from), to.begin());
}

template <class T, size_t N>
void copyArray(const std::array<T, N>& from, T (&to)[N]) {
  std::copy(from.begin(), from.end(), std::begin(to));
}

}  // namespace

const dds_topic_descriptor_t* DynamicParam::requestDescriptor() noexcept {
  return &core_srv_dds__DynamicParam_Request__desc;
}

const dds_topic_descriptor_t* DynamicParam::responseDescriptor() noexcept {
  return &core_srv_dds__DynamicParam_Response__desc;
}

void DynamicParam::toWire(const Request& value, WireRequest& wire) {
  lend(value.field_1, wire.field_1);
  lend(value.kp, wire.kp);
  lend(value.kd, wire.kd);
  lend(value.field_4, wire.field_4);
  copyArray(value.slot_of, wire.slot_of);
  wire.dpad_step_x = value.dpad_step_x;
  wire.dpad_step_y = value.dpad_step_y;
  wire.field_8 = value.field_8;
  wire.field_9 = value.field_9;
  copyArray(value.range_low, wire.range_low);
  copyArray(value.range_high, wire.range_high);
  wire.field_12 = value.field_12;
  wire.field_13 = value.field_13;
  wire.field_14 = value.field_14;
  copyArray(value.field_15, wire.field_15);
  copyArray(value.lower_bounds, wire.lower_bounds);
  copyArray(value.upper_bounds, wire.upper_bounds);
  wire.field_18 = value.field_18;
  wire.field_19 = value.field_19;
  wire.field_20 = value.field_20;
  lend(value.field_21, wire.field_21);
  wire.field_22 = value.field_22;
  for (size_t group = 0; group < value.field_23.size(); ++group) copyArray(value.field_23[group], wire.field_23[group]);
}

void DynamicParam::toWire(const Response& value, WireResponse& wire) {
  wire.success = value.success;
  wire.message = const_cast<char*>(value.message.c_str());
}

DynamicParam::Request DynamicParam::fromWire(const WireRequest& wire) {
  Request value;
  value.field_1 = copyOut<int8_t>(wire.field_1);
  value.kp = copyOut<float>(wire.kp);
  value.kd = copyOut<float>(wire.kd);
  value.field_4 = copyOut<float>(wire.field_4);
  copyArray(wire.slot_of, value.slot_of);
  value.dpad_step_x = wire.dpad_step_x;
  value.dpad_step_y = wire.dpad_step_y;
  value.field_8 = wire.field_8;
  value.field_9 = wire.field_9;
  copyArray(wire.range_low, value.range_low);
  copyArray(wire.range_high, value.range_high);
  value.field_12 = wire.field_12;
  value.field_13 = wire.field_13;
  value.field_14 = wire.field_14;
  copyArray(wire.field_15, value.field_15);
  copyArray(wire.lower_bounds, value.lower_bounds);
  copyArray(wire.upper_bounds, value.upper_bounds);
  value.field_18 = wire.field_18;
  value.field_19 = wire.field_19;
  value.field_20 = wire.field_20;
  value.field_21 = copyOut<float>(wire.field_21);
  value.field_22 = wire.field_22;
  for (size_t group = 0; group < value.field_23.size(); ++group) copyArray(wire.field_23[group], value.field_23[group]);
  return value;
}

DynamicParam::Response DynamicParam::fromWire(const WireResponse& wire) {
  return Response{wire.success, wire.message != nullptr ? std::string(wire.message) : std::string()};
}

void DynamicParam::setHeader(WireRequest& wire, const ros2::RequestHeader& header) noexcept {
  wire.client_id = header.clientId;
  wire.sequence_number = header.sequenceNumber;
}

void DynamicParam::setHeader(WireResponse& wire, const ros2::RequestHeader& header) noexcept {
  wire.client_id = header.clientId;
  wire.sequence_number = header.sequenceNumber;
}

ros2::RequestHeader DynamicParam::header(const WireRequest& wire) noexcept {
  return {wire.client_id, wire.sequence_number};
}

ros2::RequestHeader DynamicParam::header(const WireResponse& wire) noexcept {
  return {wire.client_id, wire.sequence_number};
}

}  // namespace core::srv
