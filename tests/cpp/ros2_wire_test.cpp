// What the ROS 2 layer puts on the wire: request and reply bytes against a request
// captured from a real ROS 2 Humble client and against hand-laid XCDR1, plus the
// type names, USER_DATA and QoS that ROS endpoints match on.
#include <dds/dds.h>
#include <dds/ddsi/ddsi_serdata.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "ros2/client.hpp"
#include "ros2/context.hpp"
#include "ros2/dynamic_param_service.hpp"
#include "ros2/node.hpp"
#include "ros2/server.hpp"

using core::srv::DynamicParam;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

namespace {

// One request of a real client (rclcpp 16, rmw_cyclonedds 1.3.4, Cyclone 0.10.2):
// encapsulation, client id, sequence number 1, then the 23 fields.
const char* const kCaptureHex =
    "000100005dd85b1f4be615aa01000000000000000500000001fe037f800000000200000000002040000010c0010000"
    "00"
    "000048400000000032000000330000003400000035000000360000003700000038000000390000000000d0400000e8"
    "40"
    "00000241000011c1000020410000284100003041000038410000404100004841000050410000584100003041000034"
    "41"
    "0000384100003c4100004041000044410000484100004c410000000033020000000028400000000000002bc0010000"
    "00"
    "960000009700000098000000990000009a0000009b0000000000804100008141000082410000834100008441000085"
    "41"
    "0000864100008741000088c1000090c1000098c10000a0c10000a8c10000b0c10000b8c10000c0c10000944100009e"
    "41"
    "0000a741030000000000ac410000aa410000a941eaffffff0000b8410000bc410000c0410000c4410000c8410000cc"
    "41"
    "0000d0410000d4410000d8410000dc410000e0410000e4410000e8410000ec410000f0410000f4410000f8410000fc"
    "41"
    "000000420000024200000442000006420000084200000a4200000c4200000e42000010420000124200001442000016"
    "42"
    "0000184200001a42";

Bytes fromHex(const std::string& hex) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string toHex(const Bytes& bytes, size_t from = 0) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = from; i < bytes.size(); ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0xf];
  }
  return text;
}

// Little-endian XCDR1 laid out by hand; alignment counts from after the 4-byte header.
class Xcdr1 {
 public:
  Xcdr1() : bytes_{0x00, 0x01, 0x00, 0x00} {}
  template <class T>
  Xcdr1& put(T value) {
    while ((bytes_.size() - 4) % sizeof(T) != 0) bytes_.push_back(0);
    uint8_t raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    bytes_.insert(bytes_.end(), raw, raw + sizeof(T));
    return *this;
  }
  template <class T>
  Xcdr1& seq(const std::vector<T>& values) {
    put(static_cast<uint32_t>(values.size()));
    for (const T v : values) put(v);
    return *this;
  }
  template <class Array>
  Xcdr1& arr(const Array& values) {
    for (const auto v : values) put(v);
    return *this;
  }
  Xcdr1& str(const std::string& text) {
    put(static_cast<uint32_t>(text.size() + 1));
    for (const char c : text) put(static_cast<uint8_t>(c));
    return put(uint8_t{0});
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

Bytes handLaid(const ros2::RequestHeader& h, const DynamicParam::Request& r) {
  Xcdr1 x;
  x.put(h.clientId).put(h.sequenceNumber);
  x.seq(r.field_1).seq(r.kp).seq(r.kd).seq(r.field_4).arr(r.slot_of);
  x.put(r.dpad_step_x).put(r.dpad_step_y).put(r.field_8).put(r.field_9);
  x.arr(r.range_low)
      .arr(r.range_high)
      .put(r.field_12)
      .put(r.field_13)
      .put(static_cast<uint8_t>(r.field_14));
  x.arr(r.field_15)
      .arr(r.lower_bounds)
      .arr(r.upper_bounds)
      .put(r.field_18)
      .put(r.field_19)
      .put(r.field_20);
  x.seq(r.field_21).put(r.field_22);
  for (const auto& group : r.field_23) x.arr(group);
  return x.bytes();
}

Bytes handLaid(const ros2::RequestHeader& h, const DynamicParam::Response& r) {
  Xcdr1 x;
  x.put(h.clientId).put(h.sequenceNumber).put(static_cast<uint8_t>(r.success)).str(r.message);
  return x.bytes();
}

// The request whose bytes the capture holds.
DynamicParam::Request captureValues() {
  DynamicParam::Request r;
  r.field_1 = {1, -2, 3, 127, -128};
  r.kp = {2.5f, -2.25f};
  r.kd = {3.125f};
  r.field_4 = {};
  r.slot_of = {50, 51, 52, 53, 54, 55, 56, 57};
  r.dpad_step_x = 6.5f;
  r.dpad_step_y = 7.25f;
  r.field_8 = 8.125f;
  r.field_9 = -9.0625f;
  r.range_low = {10.0f, 10.5f, 11.0f, 11.5f, 12.0f, 12.5f, 13.0f, 13.5f};
  r.range_high = {11.0f, 11.25f, 11.5f, 11.75f, 12.0f, 12.25f, 12.5f, 12.75f};
  r.field_12 = 12.000000000001;
  r.field_13 = -13.5;
  r.field_14 = true;
  r.field_15 = {150, 151, 152, 153, 154, 155};
  r.lower_bounds = {16.0f, 16.125f, 16.25f, 16.375f, 16.5f, 16.625f, 16.75f, 16.875f};
  r.upper_bounds = {-17.0f, -18.0f, -19.0f, -20.0f, -21.0f, -22.0f, -23.0f, -24.0f};
  r.field_18 = 18.5f;
  r.field_19 = 19.75f;
  r.field_20 = 20.875f;
  r.field_21 = {21.5f, 21.25f, 21.125f};
  r.field_22 = -22;
  for (size_t i = 0; i < 32; ++i) r.field_23[i / 4][i % 4] = 23.0f + 0.5f * static_cast<float>(i);
  return r;
}

// The joystick's configuration request for an empty mapping and default ranges.
DynamicParam::Request configurationRequest() {
  const float lowest = std::numeric_limits<float>::lowest();
  const float highest = std::numeric_limits<float>::max();
  DynamicParam::Request r;
  r.field_1 = {1, 2, 3, 4};
  r.kp = {35.0f, 35.0f, 0.0f, 0.0f};
  r.kd = {0.45f, 0.45f, 0.3f, 0.3f};
  r.field_4 = {36.0f, 36.0f, 17.0f, 17.0f};
  r.slot_of = {2, 0, 1, 3, 4, 5, 6, 7};
  r.dpad_step_x = r.dpad_step_y = static_cast<float>(0.1);
  r.field_8 = 50.0f;
  r.field_9 = 0.08f;
  r.range_low = {-0.5f, -1.5f, -1.0f, -1.0f, -1.0f, -1.0f, 0.0f, 0.0f};
  r.range_high = {0.5f, 1.5f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
  r.field_12 = 5.0;
  r.field_13 = 2.5;
  r.field_14 = true;
  r.field_15 = {0, 1, 2, 3, 4, 5};
  r.lower_bounds.fill(lowest);
  r.upper_bounds.fill(highest);
  r.field_18 = 1.0f;
  r.field_19 = r.field_20 = 100.0f;
  r.field_21 = {1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
  r.field_22 = std::numeric_limits<int32_t>::min();  // bits 0x80000000
  for (size_t g = 0; g < 6; ++g) r.field_23[g] = {0.0f, 0.1f, 18.0f, 20.0f};
  r.field_23[6] = {-1.0f, -1.0f, -1.0f, 60.0f};
  r.field_23[7] = {-1.0f, -1.0f, -1.0f, std::numeric_limits<float>::infinity()};
  return r;
}

// A plain reader that hands back the serialized form of what arrives on a topic.
class RawTap {
 public:
  RawTap(dds_entity_t participant, const dds_topic_descriptor_t* type, const char* name) {
    topic_ = dds_create_topic(participant, type, name, nullptr, nullptr);
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_INFINITY);
    dds_qset_history(qos, DDS_HISTORY_KEEP_ALL, 0);
    reader_ = dds_create_reader(participant, topic_, qos, nullptr);
    dds_delete_qos(qos);
    EXPECT_GT(reader_, 0);
  }
  ~RawTap() {
    dds_delete(reader_);
    dds_delete(topic_);
  }
  Bytes next() {
    for (int i = 0; i < 200; ++i) {
      struct ddsi_serdata* data = nullptr;
      dds_sample_info_t info;
      if (dds_takecdr(reader_, &data, 1, &info, DDS_ANY_STATE) == 1) {
        Bytes bytes(ddsi_serdata_size(data));
        ddsi_serdata_to_ser(data, 0, bytes.size(), bytes.data());
        ddsi_serdata_unref(data);
        if (info.valid_data) return bytes;
      }
      std::this_thread::sleep_for(10ms);
    }
    return {};
  }

 private:
  dds_entity_t topic_;
  dds_entity_t reader_;
};

// Payloads are padded to a multiple of 4; as from a ROS 2 writer, the options bytes
// stay 00 00 (no pad count in them).
void checkSameEncoding(const Bytes& actual, const Bytes& expected) {
  ASSERT_GE(actual.size(), expected.size());
  const size_t pad = actual.size() - expected.size();
  EXPECT_LT(pad, 4u);
  EXPECT_EQ(actual[0], 0x00);
  EXPECT_EQ(actual[1], 0x01);
  EXPECT_EQ(actual[2], 0x00);
  EXPECT_EQ(actual[3], 0x00);
  const Bytes body(actual.begin() + 4, actual.begin() + static_cast<long>(expected.size()));
  const Bytes wanted(expected.begin() + 4, expected.end());
  EXPECT_EQ(toHex(body), toHex(wanted));
}

std::string userData(dds_entity_t entity) {
  dds_qos_t* qos = dds_create_qos();
  dds_get_qos(entity, qos);
  void* data = nullptr;
  size_t size = 0;
  std::string text;
  if (dds_qget_userdata(qos, &data, &size) && data != nullptr)
    text.assign(static_cast<char*>(data), size);
  dds_free(data);
  dds_delete_qos(qos);
  return text;
}

void endpointQos(dds_entity_t entity, bool writer) {
  dds_qos_t* qos = dds_create_qos();
  EXPECT_EQ(dds_get_qos(entity, qos), DDS_RETCODE_OK);
  dds_history_kind_t history;
  int32_t depth = 0;
  dds_reliability_kind_t reliability;
  dds_duration_t blocking = 0;
  dds_durability_kind_t durability;
  bool autodispose = true;
  EXPECT_TRUE(dds_qget_history(qos, &history, &depth));
  EXPECT_EQ(history, DDS_HISTORY_KEEP_LAST);
  EXPECT_EQ(depth, 10);
  EXPECT_TRUE(dds_qget_reliability(qos, &reliability, &blocking));
  EXPECT_EQ(reliability, DDS_RELIABILITY_RELIABLE);
  EXPECT_EQ(blocking, DDS_INFINITY);
  EXPECT_TRUE(dds_qget_durability(qos, &durability));
  EXPECT_EQ(durability, DDS_DURABILITY_VOLATILE);
  if (writer) {
    EXPECT_TRUE(dds_qget_writer_data_lifecycle(qos, &autodispose));
    EXPECT_FALSE(autodispose);
    uint32_t n = 0;
    dds_data_representation_id_t* ids = nullptr;
    EXPECT_TRUE(dds_qget_data_representation(qos, &n, &ids));
    ASSERT_EQ(n, 1u);
    ASSERT_NE(ids, nullptr);
    EXPECT_EQ(ids[0], DDS_DATA_REPRESENTATION_XCDR1);
    dds_free(ids);
  }
  dds_delete_qos(qos);
}

// One node serving and asking the configuration service, with taps on both topics.
class Ros2Wire : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("ROS_DOMAIN_ID", "150", 1);
    if (!ros2::Context::global().isValid()) ros2::Context::global().init("ros2_wire_test");
  }
  void SetUp() override { ASSERT_TRUE(client.waitForService(3s)); }

  ros2::Node node{"ros2_wire_test"};
  ros2::Server<DynamicParam> server{node, DynamicParam::serviceName};
  ros2::Client<DynamicParam> client{node, DynamicParam::serviceName};
  RawTap requests{node.participant(), DynamicParam::requestDescriptor(),
                  DynamicParam::requestTopic};
  RawTap replies{node.participant(), DynamicParam::responseDescriptor(), DynamicParam::replyTopic};
};

// Names, USER_DATA and QoS that a ROS peer matches on.
TEST_F(Ros2Wire, NamesUserDataAndQos) {
  EXPECT_EQ(std::string(DynamicParam::requestDescriptor()->m_typename),
            "core::srv::dds_::DynamicParam_Request_");
  EXPECT_EQ(std::string(DynamicParam::responseDescriptor()->m_typename),
            "core::srv::dds_::DynamicParam_Response_");
  const auto topics = ros2::serviceTopics(DynamicParam::serviceName);
  EXPECT_EQ(topics.request, DynamicParam::requestTopic);
  EXPECT_EQ(topics.reply, DynamicParam::replyTopic);
  EXPECT_EQ(userData(node.participant()), "enclave=/;");
  const std::string clientData = userData(client.endpoints().requestWriter());
  EXPECT_EQ(clientData.rfind("clientid=", 0), 0u) << clientData;
  EXPECT_EQ(clientData.back(), ';');
  EXPECT_EQ(userData(client.endpoints().replyReader()), clientData);
  const std::string serverData = userData(server.endpoints().requestReader());
  EXPECT_EQ(serverData.rfind("serviceid=", 0), 0u) << serverData;
  EXPECT_EQ(serverData.back(), ';');
  EXPECT_EQ(userData(server.endpoints().replyWriter()), serverData);
  endpointQos(client.endpoints().requestWriter(), true);
  endpointQos(client.endpoints().replyReader(), false);
  endpointQos(server.endpoints().requestReader(), false);
  endpointQos(server.endpoints().replyWriter(), true);
}

// Requests and replies byte for byte. The sequence number counts per process, so this is
// the only test here that sends.
TEST_F(Ros2Wire, RequestAndReplyBytes) {
  // The first request of the process carries sequence number 1, and from byte 20 on
  // exactly the bytes a real ROS 2 client wrote for the same values.
  const auto first = client.asyncSend(captureValues());
  EXPECT_EQ(first.sequenceNumber, 1);
  const Bytes captured = requests.next();
  const Bytes reference = fromHex(kCaptureHex);
  ASSERT_EQ(captured.size(), reference.size());
  EXPECT_EQ(toHex(Bytes(captured.begin(), captured.begin() + 4)),
            toHex(Bytes(reference.begin(), reference.begin() + 4)));
  EXPECT_EQ(toHex(captured, 20), toHex(reference, 20));
  EXPECT_EQ(toHex(Bytes(captured.begin() + 12, captured.begin() + 20)),
            toHex(Bytes(reference.begin() + 12, reference.begin() + 20)));
  checkSameEncoding(captured, handLaid({client.clientId(), 1}, captureValues()));

  // The configuration request (other padding: four int8 before the first float
  // sequence, extreme floats, negative zero bits) against the hand layout, and the
  // server's copy of it field by field.
  auto received = server.takeRequest();
  EXPECT_TRUE(received.has_value());
  const DynamicParam::Request config = configurationRequest();
  const auto second = client.asyncSend(config);
  checkSameEncoding(requests.next(), handLaid({client.clientId(), second.sequenceNumber}, config));
  ASSERT_EQ(server.waitForRequest(1s), ros2::RequestWait::Ready);
  received = server.takeRequest();
  ASSERT_TRUE(received.has_value());
  const DynamicParam::Request& got = received->request;
  EXPECT_EQ(received->id.header.clientId, client.clientId());
  EXPECT_EQ(received->id.header.sequenceNumber, second.sequenceNumber);
  EXPECT_EQ(got.field_1, config.field_1);
  EXPECT_EQ(got.kp, config.kp);
  EXPECT_EQ(got.kd, config.kd);
  EXPECT_EQ(got.field_4, config.field_4);
  EXPECT_EQ(got.slot_of, config.slot_of);
  EXPECT_EQ(got.range_low, config.range_low);
  EXPECT_EQ(got.range_high, config.range_high);
  EXPECT_EQ(got.dpad_step_x, config.dpad_step_x);
  EXPECT_EQ(got.field_9, config.field_9);
  EXPECT_EQ(got.field_13, config.field_13);
  EXPECT_TRUE(got.field_14);
  EXPECT_EQ(got.field_15, config.field_15);
  EXPECT_EQ(got.field_21, config.field_21);
  EXPECT_EQ(got.lower_bounds, config.lower_bounds);
  EXPECT_EQ(got.upper_bounds, config.upper_bounds);
  EXPECT_EQ(got.field_22, config.field_22);
  EXPECT_EQ(got.field_23, config.field_23);
  EXPECT_TRUE(std::isinf(got.field_23[7][3]));

  // Replies: echoed header, the boolean, then a string with its NUL.
  for (const DynamicParam::Response& response :
       {DynamicParam::Response{true, ""}, DynamicParam::Response{false, "gains out of range"}}) {
    SCOPED_TRACE(response.message);
    EXPECT_TRUE(server.sendResponse(received->id, response));
    checkSameEncoding(replies.next(), handLaid(received->id.header, response));
  }
}

}  // namespace
