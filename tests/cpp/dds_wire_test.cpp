// The six message types on the wire, against an independent implementation: the bytes our
// writers put on the wire for given values, and the XTypes type information and mapping
// our topics announce, must equal what cyclonedds-python produces for the same types
// declared as Python dataclasses (wire_reference.py, run with the project's interpreter).
// Any difference would keep the robot's controller from matching or reading our samples.
#include <dds/dds.h>
#include <dds/ddsi/ddsi_serdata.h>
#include <dds/ddsi/ddsi_typelib.h>
#include <dds/ddsi/ddsi_xt_impl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dds/dds_layer.hpp"

using json = nlohmann::json;
using sdk_dds::FloatVector;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

namespace {

constexpr int32_t kDomain = 146;

std::string toHex(const uint8_t* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += digits[data[i] >> 4];
    text += digits[data[i] & 0xf];
  }
  return text;
}
std::string toHex(const Bytes& bytes) { return toHex(bytes.data(), bytes.size()); }

uint32_t bitsOf(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}
float fromBits(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// One sample: the float members in declaration order (UserCommand's array as the first),
// and the boolean member where the type has one.
struct Case {
  const char* name;
  const char* type;
  std::vector<FloatVector> floats;
  bool flag;
};

const float kInf = std::numeric_limits<float>::infinity();
const FloatVector kFour{0.35f, -0.35f, 1.0e-3f, 12.5f};

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {"ModeOn", "UserMode", {}, true},
      {"ModeOff", "UserMode", {}, false},
      {"ObsRequest", "UserObsRequest", {}, true},
      {"Command",
       "UserCommand",
       {{0.0f, -0.0f, 1.0f, -1.0f, kInf, -kInf, fromBits(1), 3.4028235e38f}},
       false},
      {"Gains", "UserGains", {{20.0f, 20.0f, 6.0f, 6.0f}, {0.5f, 0.5f, 0.6f, 0.6f}}, false},
      {"GainsEmptyKp", "UserGains", {{}, {0.45f}}, false},
      {"GainsEmpty", "UserGains", {{}, {}}, false},
      {"ActionTorque", "UserAction", {kFour}, true},
      {"ActionPosition", "UserAction", {kFour}, false},
      {"ActionEmpty", "UserAction", {{}}, true},
      {"Observation",
       "UserObservation",
       {kFour,
        {0.1f, 0.2f, 0.3f, 0.4f},
        {-5.0f, 5.0f, 0.0f, -0.0f},
        {0.01f, -0.02f, 0.03f},
        {0.0f, 0.0f, -1.0f},
        {0.25f, 0.0f, 0.0f},
        FloatVector(17, 0.125f)},
       false},
      {"ObservationSomeEmpty",
       "UserObservation",
       {{1.0f}, {}, {2.0f, 3.0f}, {}, {}, {4.0f}, {}},
       false},
      {"ObservationEmpty", "UserObservation", {{}, {}, {}, {}, {}, {}, {}}, false},
  };
  return all;
}

const std::map<std::string, const dds_topic_descriptor_t*>& descriptors() {
  static const std::map<std::string, const dds_topic_descriptor_t*> all = {
      {"UserObservation", &core_dds_UserObservation_desc},
      {"UserObsRequest", &core_dds_UserObsRequest_desc},
      {"UserGains", &core_dds_UserGains_desc},
      {"UserAction", &core_dds_UserAction_desc},
      {"UserCommand", &core_dds_UserCommand_desc},
      {"UserMode", &core_dds_UserMode_desc}};
  return all;
}

// The catalogue entry the modules use for each type's topic.
sdk_dds::TopicConfig topicOf(const std::string& type) {
  const sdk_dds::DdsConfig config;
  if (type == "UserObservation") return config.user_obs;
  if (type == "UserObsRequest") return config.user_obs_request;
  if (type == "UserGains") return config.user_gains;
  if (type == "UserAction") return config.user_action;
  if (type == "UserCommand") return config.user_command;
  return config.user_mode;
}

json fieldsOf(const Case& c) {
  auto bits = [](const FloatVector& v) {
    json list = json::array();
    for (float f : v) list.push_back(bitsOf(f));
    return list;
  };
  const std::string type = c.type;
  json f = json::object();
  if (type == "UserMode") f["enabled"] = c.flag;
  if (type == "UserObsRequest") f["request"] = c.flag;
  if (type == "UserCommand") f["motion_command"] = bits(c.floats.at(0));
  if (type == "UserGains") {
    f["kp"] = bits(c.floats.at(0));
    f["kd"] = bits(c.floats.at(1));
  }
  if (type == "UserAction") {
    f["value"] = bits(c.floats.at(0));
    f["torque_control"] = c.flag;
  }
  if (type == "UserObservation") {
    const char* names[] = {"dof_pos",   "dof_vel", "dof_tau",   "ang_vel",
                           "proj_grav", "lin_vel", "height_map"};
    for (size_t i = 0; i < 7; ++i) f[names[i]] = bits(c.floats.at(i));
  }
  return f;
}

// Runs the reference serializer once per process over every case.
const json& reference() {
  static const json result = [] {
    const char* python = getenv("TARVEK_TEST_PYTHON");
    const char* dir = getenv("TARVEK_TEST_DIR");
    if (python == nullptr || dir == nullptr) {
      throw std::runtime_error(
          "TARVEK_TEST_PYTHON and TARVEK_TEST_DIR must name the interpreter and this directory");
    }
    json request = {{"samples", json::array()}};
    for (const Case& c : cases())
      request["samples"].push_back({{"type", c.type}, {"fields", fieldsOf(c)}});
    char path[] = "/tmp/dds_wire_test_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    const std::string text = request.dump();
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    const std::string command =
        std::string("'") + python + "' '" + dir + "/wire_reference.py' < '" + path + "'";
    std::string output;
    if (FILE* pipe = written ? popen(command.c_str(), "r") : nullptr) {
      char buffer[4096];
      size_t n;
      while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
      const int status = pclose(pipe);
      unlink(path);
      if (status != 0) throw std::runtime_error("reference serializer failed: " + command);
    } else {
      unlink(path);
      throw std::runtime_error("cannot run: " + command);
    }
    return json::parse(output);
  }();
  return result;
}

// A participant with the catalogue's topics, the modules' writers on them, and a plain
// reader per topic that hands back the serialized form of each sample.
class Wire : public ::testing::Test {
 protected:
  void SetUp() override {
    participant_ = dds_create_participant(kDomain, nullptr, nullptr);
    ASSERT_GT(participant_, 0);
  }
  void TearDown() override { dds_delete(participant_); }

  // The bytes of one sample as our writer sends it.
  Bytes written(const Case& c) {
    const std::string type = c.type;
    const sdk_dds::TopicConfig cfg = topicOf(type);
    const dds_entity_t topic = sdk_dds::createTopic(participant_, descriptors().at(type), cfg);
    const dds_entity_t writer = sdk_dds::createWriter(participant_, topic, cfg);
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_INFINITY);
    dds_qset_history(qos, DDS_HISTORY_KEEP_ALL, 0);
    const dds_entity_t reader = dds_create_reader(participant_, topic, qos, nullptr);
    dds_delete_qos(qos);
    EXPECT_GT(reader, 0);

    dds_return_t rc = DDS_RETCODE_ERROR;
    auto seq = [&c](size_t i) { return sdk_dds::borrowSequence(c.floats.at(i)); };
    if (type == "UserMode") {
      const core_dds_UserMode s{c.flag};
      rc = dds_write(writer, &s);
    } else if (type == "UserObsRequest") {
      const core_dds_UserObsRequest s{c.flag};
      rc = dds_write(writer, &s);
    } else if (type == "UserCommand") {
      core_dds_UserCommand s{};
      for (size_t i = 0; i < 8; ++i) s.motion_command[i] = c.floats.at(0).at(i);
      rc = dds_write(writer, &s);
    } else if (type == "UserGains") {
      const core_dds_UserGains s{seq(0), seq(1)};
      rc = dds_write(writer, &s);
    } else if (type == "UserAction") {
      const core_dds_UserAction s{seq(0), c.flag};
      rc = dds_write(writer, &s);
    } else {
      const core_dds_UserObservation s{seq(0), seq(1), seq(2), seq(3), seq(4), seq(5), seq(6)};
      rc = dds_write(writer, &s);
    }
    EXPECT_EQ(rc, DDS_RETCODE_OK);
    for (int i = 0; i < 200; ++i) {
      struct ddsi_serdata* data = nullptr;
      dds_sample_info_t info;
      if (dds_takecdr(reader, &data, 1, &info, DDS_ANY_STATE) == 1) {
        Bytes bytes(ddsi_serdata_size(data));
        ddsi_serdata_to_ser(data, 0, bytes.size(), bytes.data());
        ddsi_serdata_unref(data);
        if (info.valid_data) return bytes;
      }
      std::this_thread::sleep_for(10ms);
    }
    ADD_FAILURE() << "nothing arrived";
    return {};
  }

  dds_entity_t participant_ = 0;
};

size_t expectedBodyLength(const Case& c) {
  const std::string type = c.type;
  if (type == "UserMode" || type == "UserObsRequest") return 1;
  if (type == "UserCommand") return 32;
  if (type == "UserAction") return 5 + 4 * c.floats.at(0).size();
  size_t length = 4 * c.floats.size();
  for (const FloatVector& v : c.floats) length += 4 * v.size();
  return length;
}

class Sample : public Wire, public ::testing::WithParamInterface<size_t> {};

TEST_P(Sample, BodyEqualsTheReference) {
  const Case& c = cases().at(GetParam());
  const json& ref = reference()["samples"].at(GetParam());
  const std::string xcdr1 = ref["xcdr1"];
  const std::string xcdr2 = ref["xcdr2"];
  // Little-endian classic CDR and plain CDR2 headers; the bodies of these types agree.
  ASSERT_EQ(xcdr1.substr(0, 8), "00010000");
  ASSERT_EQ(xcdr2.substr(0, 8), "00070000");
  EXPECT_EQ(xcdr1.substr(8), xcdr2.substr(8));

  const Bytes ours = written(c);
  ASSERT_GE(ours.size(), 4u);
  const std::string header = toHex(ours.data(), 4);
  const std::string& wanted = header.substr(0, 4) == "0007" ? xcdr2 : xcdr1;
  EXPECT_EQ(header.substr(0, 4), wanted.substr(0, 4)) << "encapsulation";
  // Up to three trailing bytes reach a multiple of 4; the options' low bits count them.
  const size_t pad = ours[3] & 3u;
  ASSERT_GE(ours.size(), 4 + pad);
  const Bytes body(ours.begin() + 4, ours.end() - static_cast<long>(pad));
  EXPECT_EQ(toHex(body), wanted.substr(8));
  EXPECT_EQ(body.size(), expectedBodyLength(c));
  EXPECT_EQ(ours.size() % 4, 0u);
  for (size_t i = ours.size() - pad; i < ours.size(); ++i)
    EXPECT_EQ(ours[i], 0) << "padding byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Cases, Sample, ::testing::Range<size_t>(0, cases().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           return std::string(cases().at(info.param).name);
                         });

class TypeIdentity : public Wire, public ::testing::WithParamInterface<std::string> {};

std::string hashOf(const ddsi_typeid_t* id) {
  return id == nullptr ? "<none>"
                       : toHex(id->x._u.equivalence_hash, sizeof id->x._u.equivalence_hash);
}

TEST_P(TypeIdentity, InformationAndMappingEqualTheReference) {
  const std::string type = GetParam();
  const json& ref = reference()["types"].at(type);
  const dds_topic_descriptor_t* desc = descriptors().at(type);
  EXPECT_EQ(std::string(desc->m_typename), ref["typename"].get<std::string>());
  EXPECT_EQ(toHex(desc->type_information.data, desc->type_information.sz),
            ref["type_information"].get<std::string>());
  EXPECT_EQ(toHex(desc->type_mapping.data, desc->type_mapping.sz),
            ref["type_mapping"].get<std::string>());
  const bool fixed = type == "UserObsRequest" || type == "UserCommand" || type == "UserMode";
  EXPECT_EQ(desc->m_flagset, DDS_TOPIC_XTYPES_METADATA | (fixed ? DDS_TOPIC_FIXED_SIZE : 0u));
  EXPECT_EQ(desc->m_nkeys, 0u);
  EXPECT_STREQ(desc->m_meta, "");

  // What the library announces for a topic made the way the modules make it.
  const dds_entity_t topic = sdk_dds::createTopic(participant_, desc, topicOf(type));
  dds_typeinfo_t* info = nullptr;
  ASSERT_EQ(dds_get_typeinfo(topic, &info), DDS_RETCODE_OK);
  const ddsi_typeid_t* minimal = ddsi_typeinfo_minimal_typeid(info);
  const ddsi_typeid_t* complete = ddsi_typeinfo_complete_typeid(info);
  ASSERT_NE(minimal, nullptr);
  ASSERT_NE(complete, nullptr);
  EXPECT_EQ(minimal->x._d, ref["minimal"]["kind"].get<int>());
  EXPECT_EQ(hashOf(minimal), ref["minimal"]["hash"].get<std::string>());
  EXPECT_EQ(complete->x._d, ref["complete"]["kind"].get<int>());
  EXPECT_EQ(hashOf(complete), ref["complete"]["hash"].get<std::string>());
  EXPECT_EQ(info->x.minimal.typeid_with_size.typeobject_serialized_size,
            ref["minimal"]["size"].get<uint32_t>());
  EXPECT_EQ(info->x.complete.typeid_with_size.typeobject_serialized_size,
            ref["complete"]["size"].get<uint32_t>());
  EXPECT_EQ(info->x.minimal.dependent_typeid_count, 0);
  EXPECT_EQ(info->x.complete.dependent_typeid_count, 0);
  dds_free_typeinfo(info);
}

INSTANTIATE_TEST_SUITE_P(Types, TypeIdentity,
                         ::testing::Values("UserObservation", "UserObsRequest", "UserGains",
                                           "UserAction", "UserCommand", "UserMode"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

}  // namespace
