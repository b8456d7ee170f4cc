#pragma once
// What the SDK would create, what was discovered, and the judgement of one against the
// other. Nothing here touches the network: the probe (probe.hpp) fills the snapshots, so
// the rules can be exercised on hand-made data.
#include <dds/dds.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "doctor/typediff.hpp"

namespace doctor {

enum class Side { Reader, Writer };

const char* sideName(Side side) noexcept;

// The request/offer-relevant QoS of one endpoint, with the DDS defaults filled in for
// policies the endpoint did not set.
struct QosSummary {
  bool reliable = false;
  dds_durability_kind_t durability = DDS_DURABILITY_VOLATILE;
  bool keepAll = false;
  int32_t depth = 1;
  dds_duration_t deadline = DDS_INFINITY;
  dds_duration_t latencyBudget = 0;
  dds_liveliness_kind_t liveliness = DDS_LIVELINESS_AUTOMATIC;
  dds_duration_t livelinessLease = DDS_INFINITY;
  dds_ownership_kind_t ownership = DDS_OWNERSHIP_SHARED;
  dds_destination_order_kind_t destinationOrder = DDS_DESTINATIONORDER_BY_RECEPTION_TIMESTAMP;
  std::vector<std::string> partitions;   // empty: the default partition
  std::vector<int16_t> representations;  // a writer writes the first
  std::string userData;
};

QosSummary summarizeQos(const dds_qos_t* qos, Side side);

// Why a writer's offer does not satisfy a reader's request, one text per policy; empty
// when they match.
std::vector<std::string> qosIncompatibilities(const QosSummary& writer, const QosSummary& reader);

std::string reliabilityName(const QosSummary& qos);
std::string durabilityName(const QosSummary& qos);
std::string historyName(const QosSummary& qos);

// An XTypes type identity: the minimal and complete identifiers as text.
struct TypeIdentity {
  std::string minimal;
  std::string complete;
  bool operator==(const TypeIdentity& o) const {
    return minimal == o.minimal && complete == o.complete;
  }
};

// One endpoint the SDK creates.
struct ExpectedEndpoint {
  std::string topic;
  std::string typeName;
  std::optional<TypeIdentity> typeId;  // none for types built without type information
  Side sdkSide;
  QosSummary qos;
  std::optional<TypeShape> typeShape;
};

struct Participant {
  std::string guid;  // 16 bytes in hex
  std::array<uint8_t, 2> vendor{};
  std::string processName;
  std::string pid;
  std::string host;
  std::string addresses;
};

struct RemoteEndpoint {
  std::string participantGuid;
  std::array<uint8_t, 2> vendor{};
  Side side;
  std::string topic;
  std::string typeName;
  std::optional<TypeIdentity> typeId;
  QosSummary qos;
  // Fetched by type lookup when the identifier differs from the SDK's.
  std::optional<TypeShape> typeShape;
};

// An endpoint announcement Cyclone rejected, as its log tells it.
struct DiscardedAnnouncement {
  std::array<uint8_t, 2> vendor{};
  Side side;
  std::string reason;  // the parameter it could not read, "TYPE_INFORMATION"; may be empty
};

// Everything discovered on one domain, the prober's own participants left out.
struct DomainSnapshot {
  uint32_t domain = 0;
  std::vector<Participant> participants;
  std::vector<RemoteEndpoint> endpoints;
  std::vector<DiscardedAnnouncement> discarded;
};

// Vendor from the first two bytes of a GUID prefix, where implementations put their
// vendor id; empty when the bytes are not a known vendor id.
std::string vendorName(const std::array<uint8_t, 2>& vendor);
bool isCyclone(const std::array<uint8_t, 2>& vendor);
bool isKnownOtherVendor(const std::array<uint8_t, 2>& vendor);

enum class TypeCheck { Equal, DifferentName, DifferentId, NoTypeInformation };

struct EndpointVerdict {
  RemoteEndpoint endpoint;
  bool peerSide = false;  // the controller's side of the topic (else: another SDK program)
  TypeCheck type = TypeCheck::Equal;
  std::vector<std::string> qosProblems;
  bool matches = false;  // would match the SDK's endpoint
};

struct TopicReport {
  ExpectedEndpoint expected;
  uint32_t domain = 0;
  std::vector<EndpointVerdict> endpoints;
};

struct ServerReport {
  std::string participantGuid;
  std::string vendor;
  bool otherVendor = false;
  bool hasRequestReader = false;
  bool hasReplyWriter = false;
  bool endpointsMatch = false;          // a matching request reader and a matching reply writer
  std::optional<bool> serviceIdPaired;  // none when its endpoints carry no serviceid
  bool usable = false;
};

struct Problem {
  std::string code;
  std::string sentence;
};

struct Diagnosis {
  std::vector<TopicReport> topics;         // the six, in catalogue order
  std::vector<TopicReport> serviceTopics;  // request, reply
  std::vector<ServerReport> servers;
  std::vector<Problem> problems;
  bool controllerUsable = false;
  bool serviceUsable = false;
};

struct Expectations {
  std::vector<ExpectedEndpoint> topics;
  std::string serviceName;
  ExpectedEndpoint request;  // the SDK writes requests
  ExpectedEndpoint reply;    // and reads replies
};

// What the SDK's two modules create: the DDS layer's catalogue and the joystick's client.
Expectations sdkExpectations();

// A participant as a person reads it: "tarvek-sim (pid 12, host vm)" or its GUID.
std::string describeParticipant(const std::vector<Participant>& participants,
                                const std::string& guid);

Diagnosis diagnose(const Expectations& expected, const DomainSnapshot& dds,
                   const DomainSnapshot& ros, double listenSeconds);

}  // namespace doctor
