// The doctor's judgement on hand-made discovery data: the requested/offered rules, the
// service cases no local peer can produce (a server on another DDS implementation, ids that
// do not pair), what differs between two types, and Cyclone's log of what it discarded.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "core_dds.h"
#include "doctor/diagnosis.hpp"
#include "doctor/discarded.hpp"
#include "doctor/typediff.hpp"

using namespace doctor;

namespace {

const std::array<uint8_t, 2> kCyclone{0x01, 0x10};
const std::array<uint8_t, 2> kFastDds{0x01, 0x0f};

QosSummary qos(bool reliable, dds_durability_kind_t durability) {
  QosSummary q;
  q.reliable = reliable;
  q.durability = durability;
  q.representations = {DDS_DATA_REPRESENTATION_XCDR1, DDS_DATA_REPRESENTATION_XCDR2};
  return q;
}

TEST(DoctorDiagnosis, RequestedOfferedRules) {
  const QosSummary reliableTl = qos(true, DDS_DURABILITY_TRANSIENT_LOCAL);
  const QosSummary reliableVolatile = qos(true, DDS_DURABILITY_VOLATILE);
  const QosSummary bestEffortVolatile = qos(false, DDS_DURABILITY_VOLATILE);
  // A writer may offer more than a reader asks for, never less.
  EXPECT_TRUE(qosIncompatibilities(reliableTl, bestEffortVolatile).empty());
  EXPECT_EQ(qosIncompatibilities(bestEffortVolatile, reliableVolatile).size(), 1u);
  EXPECT_EQ(
      qosIncompatibilities(reliableVolatile, reliableTl).front(),
      std::string("durability: the writer offers volatile, the reader requests transient_local"));

  QosSummary inPartition = reliableVolatile;
  inPartition.partitions = {"robot"};
  EXPECT_EQ(qosIncompatibilities(inPartition, reliableVolatile).size(), 1u);
  QosSummary wildcard = reliableVolatile;
  wildcard.partitions = {"rob*"};
  EXPECT_TRUE(qosIncompatibilities(inPartition, wildcard).empty());

  QosSummary xcdr2Writer = reliableVolatile;
  xcdr2Writer.representations = {DDS_DATA_REPRESENTATION_XCDR2};
  QosSummary xcdr1Reader = reliableVolatile;
  xcdr1Reader.representations = {DDS_DATA_REPRESENTATION_XCDR1};
  EXPECT_EQ(qosIncompatibilities(xcdr2Writer, xcdr1Reader).size(), 1u);
  EXPECT_TRUE(qosIncompatibilities(xcdr2Writer, reliableVolatile).empty());

  QosSummary withDeadline = reliableVolatile;
  withDeadline.deadline = DDS_MSECS(100);
  EXPECT_TRUE(qosIncompatibilities(withDeadline, reliableVolatile).empty());
  EXPECT_EQ(qosIncompatibilities(reliableVolatile, withDeadline).size(), 1u);
}

Participant participant(const std::string& guid, std::array<uint8_t, 2> vendor) {
  Participant p;
  p.guid = guid;
  p.vendor = vendor;
  p.processName = "controller";
  p.pid = "7";
  p.host = "robot";
  return p;
}

RemoteEndpoint endpoint(const ExpectedEndpoint& sdk, const Participant& owner,
                        const std::string& userData) {
  RemoteEndpoint e;
  e.participantGuid = owner.guid;
  e.vendor = owner.vendor;
  e.side = sdk.sdkSide == Side::Writer ? Side::Reader : Side::Writer;
  e.topic = sdk.topic;
  e.typeName = sdk.typeName;
  e.qos = sdk.qos;
  e.qos.userData = userData;
  return e;
}

// A healthy controller on DDS: one endpoint of the other side on each topic, same type.
DomainSnapshot healthyController(const Expectations& sdk) {
  DomainSnapshot s;
  s.domain = 1;
  s.participants.push_back(participant("aa", kCyclone));
  for (const auto& topic : sdk.topics) {
    RemoteEndpoint e = endpoint(topic, s.participants[0], "");
    e.typeId = topic.typeId;
    s.endpoints.push_back(e);
  }
  return s;
}

DomainSnapshot serviceFrom(const Expectations& sdk, std::array<uint8_t, 2> vendor,
                           const std::string& readerData, const std::string& writerData) {
  DomainSnapshot s;
  s.domain = 0;
  s.participants.push_back(participant("bb", vendor));
  s.endpoints.push_back(endpoint(sdk.request, s.participants[0], readerData));
  s.endpoints.push_back(endpoint(sdk.reply, s.participants[0], writerData));
  return s;
}

std::vector<std::string> codes(const Diagnosis& d) {
  std::vector<std::string> out;
  for (const auto& p : d.problems) out.push_back(p.code);
  return out;
}

TEST(DoctorDiagnosis, ServiceCases) {
  const Expectations sdk = sdkExpectations();
  const DomainSnapshot dds = healthyController(sdk);

  struct Case {
    std::array<uint8_t, 2> vendor;
    const char* readerData;
    const char* writerData;
    bool usable;
    std::vector<std::string> problems;
  };
  const std::vector<Case> cases = {
      {kCyclone, "serviceid=1.2;", "serviceid=1.2;", true, {}},
      // A peer that does not announce ids: the SDK's client accepts it too.
      {kCyclone, "", "", true, {}},
      {kCyclone, "serviceid=1.2;", "serviceid=1.3;", false, {"service_unpaired"}},
      {kFastDds, "", "", false, {"service_other_vendor"}},
  };
  for (const auto& c : cases) {
    const Diagnosis d =
        diagnose(sdk, dds, serviceFrom(sdk, c.vendor, c.readerData, c.writerData), 3);
    EXPECT_TRUE(d.controllerUsable);
    EXPECT_EQ(d.serviceUsable, c.usable);
    EXPECT_TRUE(codes(d) == c.problems);
  }
  const Diagnosis fast = diagnose(sdk, dds, serviceFrom(sdk, kFastDds, "", ""), 3);
  EXPECT_EQ(
      fast.problems.front().sentence,
      std::string(
          "/dynamic_param_config is served by controller (pid 7 on robot) through Fast DDS, not "
          "Cyclone DDS: ROS 2 services do not work across Cyclone DDS and Fast DDS; run the "
          "controller's ROS 2 side on rmw_cyclonedds_cpp."));
}

TEST(DoctorDiagnosis, ControllerCases) {
  const Expectations sdk = sdkExpectations();
  const DomainSnapshot ros = serviceFrom(sdk, kCyclone, "", "");

  // The SDK's transient-local mode writer also serves a controller reader that asks for less.
  DomainSnapshot volatileModeReader = healthyController(sdk);
  volatileModeReader.endpoints[0].qos.durability = DDS_DURABILITY_VOLATILE;
  EXPECT_TRUE(diagnose(sdk, volatileModeReader, ros, 3).controllerUsable);

  // A controller that publishes observations best-effort never reaches the SDK's reader.
  DomainSnapshot bestEffortObs = healthyController(sdk);
  bestEffortObs.endpoints[5].qos.reliable = false;
  const Diagnosis d = diagnose(sdk, bestEffortObs, ros, 3);
  EXPECT_TRUE(!d.controllerUsable);
  EXPECT_TRUE(codes(d) == std::vector<std::string>{"qos_mismatch"});

  // Same type name but another identifier: built from a different definition.
  DomainSnapshot otherType = healthyController(sdk);
  otherType.endpoints[3].typeId = TypeIdentity{"0123", "4567"};
  EXPECT_TRUE(codes(diagnose(sdk, otherType, ros, 3)) == std::vector<std::string>{"type_mismatch"});

  // Without type information on the remote side only the name counts, as in Cyclone.
  DomainSnapshot noTypeInfo = healthyController(sdk);
  noTypeInfo.endpoints[3].typeId.reset();
  EXPECT_TRUE(diagnose(sdk, noTypeInfo, ros, 3).controllerUsable);

  // Another SDK program (same side as ours) is listed but never stands in for the controller.
  DomainSnapshot onlySdkPrograms;
  onlySdkPrograms.domain = 1;
  onlySdkPrograms.participants.push_back(participant("cc", kCyclone));
  for (const auto& topic : sdk.topics) {
    RemoteEndpoint e = endpoint(topic, onlySdkPrograms.participants[0], "");
    e.side = topic.sdkSide;
    onlySdkPrograms.endpoints.push_back(e);
  }
  EXPECT_TRUE(codes(diagnose(sdk, onlySdkPrograms, ros, 3)) == std::vector<std::string>{"no_controller"});

  // A controller on ROS 2 topic names: each topic is pointed at its look-alike.
  DomainSnapshot prefixed = healthyController(sdk);
  for (auto& e : prefixed.endpoints) e.topic = "rt/" + e.topic;
  const Diagnosis renamed = diagnose(sdk, prefixed, ros, 3);
  EXPECT_TRUE(codes(renamed) == std::vector<std::string>(6, "topic_renamed"));
  EXPECT_EQ(renamed.problems[5].sentence,
           std::string("No writer of user_obs on DDS domain 1, but controller (pid 7 on robot) has "
                       "one on rt/user_obs: the controller uses other topic names (a ROS 2 prefix "
                       "or another spelling), which the SDK does not use."));
}

}  // namespace


// What differs in a type of the same name, against the SDK's own observation type.
TEST(DoctorTypes, ShapeDifferences) {
  const auto sdk = descriptorShape(core_dds_UserObservation_desc);
  ASSERT_TRUE(sdk);
  ASSERT_EQ(sdk->members.size(), 7u);
  EXPECT_EQ(sdk->extensibility, "final");
  EXPECT_EQ(sdk->members[0].name, "dof_pos");
  EXPECT_EQ(sdk->members[0].type, "sequence<float>");
  EXPECT_FALSE(compareShapes(*sdk, *sdk));

  struct Case {
    const char* name;
    void (*change)(TypeShape&);
    bool extensibilityOnly;
    const char* text;
  };
  const Case cases[] = {
      {"appendable", [](TypeShape& s) { s.extensibility = "appendable"; }, true,
       "it is appendable where the SDK's is final"},
      {"renamed", [](TypeShape& s) { s.members[0].name = "joint_pos"; }, false,
       "it lacks member dof_pos (sequence<float>), it has member joint_pos (sequence<float>), "
       "which the SDK's lacks"},
      {"mutable and double",
       [](TypeShape& s) {
         s.extensibility = "mutable";
         s.members[6].type = "sequence<double>";
       },
       false, "it is mutable where the SDK's is final, member height_map is sequence<double> where "
              "the SDK's is sequence<float>"},
      {"reordered", [](TypeShape& s) { std::swap(s.members[0], s.members[1]); }, false,
       "its members are in another order"},
  };
  for (const auto& c : cases) {
    TypeShape controller = *sdk;
    c.change(controller);
    const auto d = compareShapes(*sdk, controller);
    ASSERT_TRUE(d) << c.name;
    EXPECT_EQ(d->extensibilityOnly, c.extensibilityOnly) << c.name;
    EXPECT_EQ(d->text, c.text) << c.name;
  }
}

// Cyclone's log lines for announcements it rejected, as it wrote them for a peer on the
// other DDS implementation whose types carried type objects.
TEST(DoctorDiscarded, ReadFromTheTrace) {
  const std::string path = testing::TempDir() + "doctor_discarded_trace.txt";
  {
    std::ofstream out(path);
    out << "1796787937.595523 [5] dq.builtin: invalid parameter list (vendor 1.15, version 2.3): "
           "pid 75 (TYPE_INFORMATION) invalid, input = 0,1,0,0,241,43\n"
           "1796787937.595558 [5] dq.builtin: Invalid PublicationBuiltinTopicData (vendor 1.15): "
           "invalid qos/parameters\n"
           "1796787937.595602 [5] dq.builtin: Invalid SubscriptionBuiltinTopicData (vendor 1.15): "
           "invalid qos/parameters\n";
  }
  DomainSnapshot s;
  s.domain = 5;
  s.discarded = readDiscarded(path);
  std::remove(path.c_str());
  ASSERT_EQ(s.discarded.size(), 2u);
  EXPECT_EQ(s.discarded[0].reason, "TYPE_INFORMATION");
  EXPECT_EQ(s.discarded[1].reason, "");  // its own parameter line was not written
  EXPECT_EQ(s.discarded[1].side, Side::Reader);

  // Only a participant of another implementation with nothing on it is named.
  s.participants = {participant("aa", kCyclone), participant("bb", kFastDds)};
  const auto problems = discardedProblems(s);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].code, "endpoints_discarded");
  EXPECT_EQ(problems[0].sentence.rfind("controller (pid 7 on robot) (Fast DDS) is on DDS domain 5, "
                                       "but Cyclone DDS discarded its 2 endpoint announcement(s) "
                                       "because it cannot read their TYPE_INFORMATION",
                                       0),
            0u);
}

