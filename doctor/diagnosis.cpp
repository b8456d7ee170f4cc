#include "doctor/diagnosis.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <sstream>

#include "dds/dds_layer.hpp"
#include "doctor/discarded.hpp"
#include "doctor/probe.hpp"
#include "joystick/dynamic_param_client.hpp"
#include "ros2/dynamic_param_service.hpp"
#include "ros2/service.hpp"

namespace doctor {

const char* sideName(Side side) noexcept { return side == Side::Reader ? "reader" : "writer"; }

QosSummary summarizeQos(const dds_qos_t* qos, Side side) {
  QosSummary s;
  s.reliable = side == Side::Writer;
  sdk_dds::QosPtr defaults;
  if (qos == nullptr) {
    defaults.reset(dds_create_qos());
    qos = defaults.get();
  }
  dds_reliability_kind_t reliability;
  dds_duration_t blocking;
  if (dds_qget_reliability(qos, &reliability, &blocking))
    s.reliable = reliability == DDS_RELIABILITY_RELIABLE;
  dds_durability_kind_t durability;
  if (dds_qget_durability(qos, &durability)) s.durability = durability;
  dds_history_kind_t history;
  int32_t depth;
  if (dds_qget_history(qos, &history, &depth)) {
    s.keepAll = history == DDS_HISTORY_KEEP_ALL;
    s.depth = depth;
  }
  dds_duration_t duration;
  if (dds_qget_deadline(qos, &duration)) s.deadline = duration;
  if (dds_qget_latency_budget(qos, &duration)) s.latencyBudget = duration;
  dds_liveliness_kind_t liveliness;
  if (dds_qget_liveliness(qos, &liveliness, &duration)) {
    s.liveliness = liveliness;
    s.livelinessLease = duration;
  }
  dds_ownership_kind_t ownership;
  if (dds_qget_ownership(qos, &ownership)) s.ownership = ownership;
  dds_destination_order_kind_t order;
  if (dds_qget_destination_order(qos, &order)) s.destinationOrder = order;
  uint32_t count = 0;
  char** names = nullptr;
  if (dds_qget_partition(qos, &count, &names)) {
    for (uint32_t i = 0; i < count; ++i) {
      s.partitions.emplace_back(names[i]);
      dds_free(names[i]);
    }
    dds_free(names);
  }
  dds_data_representation_id_t* ids = nullptr;
  if (dds_qget_data_representation(qos, &count, &ids)) {
    for (uint32_t i = 0; i < count; ++i) s.representations.push_back(ids[i]);
    dds_free(ids);
  }
  // Unset, a writer writes plain CDR for the SDK's final types and a reader takes both.
  if (s.representations.empty()) {
    s.representations.push_back(DDS_DATA_REPRESENTATION_XCDR1);
    if (side == Side::Reader) s.representations.push_back(DDS_DATA_REPRESENTATION_XCDR2);
  }
  void* data = nullptr;
  size_t size = 0;
  if (dds_qget_userdata(qos, &data, &size) && data != nullptr) {
    s.userData.assign(static_cast<const char*>(data), size);
    const auto nul = s.userData.find('\0');
    if (nul != std::string::npos) s.userData.resize(nul);
    dds_free(data);
  }
  return s;
}

namespace {

const char* durabilityText(dds_durability_kind_t kind) {
  switch (kind) {
    case DDS_DURABILITY_VOLATILE:
      return "volatile";
    case DDS_DURABILITY_TRANSIENT_LOCAL:
      return "transient_local";
    case DDS_DURABILITY_TRANSIENT:
      return "transient";
    case DDS_DURABILITY_PERSISTENT:
      return "persistent";
  }
  return "unknown";
}

std::string durationText(dds_duration_t d) {
  if (d == DDS_INFINITY) return "infinite";
  std::ostringstream out;
  out << static_cast<double>(d) / 1e9 << " s";
  return out.str();
}

bool partitionsMeet(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  const std::vector<std::string> defaultPartition{""};
  const auto& x = a.empty() ? defaultPartition : a;
  const auto& y = b.empty() ? defaultPartition : b;
  for (const auto& p : x) {
    for (const auto& q : y) {
      if (p == q || fnmatch(p.c_str(), q.c_str(), 0) == 0 || fnmatch(q.c_str(), p.c_str(), 0) == 0)
        return true;
    }
  }
  return false;
}

std::string representationText(int16_t id) {
  switch (id) {
    case DDS_DATA_REPRESENTATION_XCDR1:
      return "XCDR1";
    case DDS_DATA_REPRESENTATION_XML:
      return "XML";
    case DDS_DATA_REPRESENTATION_XCDR2:
      return "XCDR2";
  }
  return std::to_string(id);
}

std::string joined(const std::vector<std::string>& items, const char* separator) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

}  // namespace

std::vector<std::string> qosIncompatibilities(const QosSummary& w, const QosSummary& r) {
  std::vector<std::string> out;
  if (r.reliable && !w.reliable)
    out.push_back("reliability: the writer offers best_effort, the reader requests reliable");
  if (r.durability > w.durability) {
    out.push_back(std::string("durability: the writer offers ") + durabilityText(w.durability) +
                  ", the reader requests " + durabilityText(r.durability));
  }
  if (r.deadline < w.deadline) {
    out.push_back("deadline: the writer offers " + durationText(w.deadline) +
                  ", the reader requests " + durationText(r.deadline));
  }
  if (r.latencyBudget < w.latencyBudget)
    out.push_back("latency budget: the writer's is longer than the reader's");
  if (r.liveliness > w.liveliness || r.livelinessLease < w.livelinessLease) {
    out.push_back("liveliness: the writer's kind or lease does not satisfy the reader's");
  }
  if (r.ownership != w.ownership)
    out.push_back("ownership: one side is exclusive, the other shared");
  if (r.destinationOrder > w.destinationOrder)
    out.push_back("destination order: the reader requests source time stamps");
  if (!partitionsMeet(w.partitions, r.partitions)) {
    out.push_back("partition: the writer is in [" + joined(w.partitions, ", ") +
                  "], the reader in [" + joined(r.partitions, ", ") + "]");
  }
  const int16_t written =
      w.representations.empty() ? DDS_DATA_REPRESENTATION_XCDR1 : w.representations.front();
  if (std::find(r.representations.begin(), r.representations.end(), written) ==
      r.representations.end()) {
    std::vector<std::string> accepted;
    for (const auto id : r.representations) accepted.push_back(representationText(id));
    out.push_back("data representation: the writer writes " + representationText(written) +
                  ", the reader accepts " + joined(accepted, ", "));
  }
  return out;
}

std::string reliabilityName(const QosSummary& qos) {
  return qos.reliable ? "reliable" : "best_effort";
}
std::string durabilityName(const QosSummary& qos) { return durabilityText(qos.durability); }
std::string historyName(const QosSummary& qos) {
  return qos.keepAll ? std::string("keep_all") : "keep_last " + std::to_string(qos.depth);
}

std::string vendorName(const std::array<uint8_t, 2>& v) {
  if (v[0] != 0x01) return "";
  static const std::map<uint8_t, const char*> names = {
      {0x01, "RTI Connext"},       {0x02, "OpenSplice"}, {0x03, "OpenDDS"},     {0x06, "CoreDX"},
      {0x0a, "RTI Connext Micro"}, {0x0f, "Fast DDS"},   {0x10, "Cyclone DDS"}, {0x12, "Dust DDS"},
  };
  const auto it = names.find(v[1]);
  return it == names.end() ? "" : it->second;
}

bool isCyclone(const std::array<uint8_t, 2>& v) { return v[0] == 0x01 && v[1] == 0x10; }
bool isKnownOtherVendor(const std::array<uint8_t, 2>& v) {
  return !isCyclone(v) && !vendorName(v).empty();
}

Expectations sdkExpectations() {
  Expectations e;
  const sdk_dds::DdsConfig catalogue;
  const auto add = [&](const sdk_dds::TopicConfig& cfg, const dds_topic_descriptor_t& desc,
                       Side side) {
    const sdk_dds::QosPtr qos = sdk_dds::makeQos(cfg);
    e.topics.push_back({cfg.name, desc.m_typename, descriptorTypeIdentity(desc), side,
                        summarizeQos(qos.get(), side), descriptorShape(desc)});
  };
  // Which side each module takes on each topic; the controller is on the other.
  add(catalogue.user_mode, core_dds_UserMode_desc, Side::Writer);
  add(catalogue.user_command, core_dds_UserCommand_desc, Side::Reader);
  add(catalogue.user_action, core_dds_UserAction_desc, Side::Writer);
  add(catalogue.user_gains, core_dds_UserGains_desc, Side::Writer);
  add(catalogue.user_obs_request, core_dds_UserObsRequest_desc, Side::Writer);
  add(catalogue.user_obs, core_dds_UserObservation_desc, Side::Reader);

  const joystick::DynamicParamConfig client;
  e.serviceName = client.service_name;
  const ros2::ServiceTopics topics = ros2::serviceTopics(client.service_name);
  ros2::QosProfile profile;
  profile.depth = client.depth;
  profile.durability = client.durability == "transient_local" ? ros2::Durability::TransientLocal
                                                              : ros2::Durability::Volatile;
  const auto service = [&](const std::string& topic, const dds_topic_descriptor_t* desc,
                           Side side) {
    ros2::Qos qos;
    ros2::detail::fillEndpointQos(qos.get(), profile, "clientid=doctor;", side == Side::Writer);
    return ExpectedEndpoint{topic, desc->m_typename, descriptorTypeIdentity(*desc), side,
                            summarizeQos(qos.get(), side), std::nullopt};
  };
  e.request = service(topics.request, core::srv::DynamicParam::requestDescriptor(), Side::Writer);
  e.reply = service(topics.reply, core::srv::DynamicParam::responseDescriptor(), Side::Reader);
  return e;
}

std::string describeParticipant(const std::vector<Participant>& participants,
                                const std::string& guid) {
  for (const auto& p : participants) {
    if (p.guid != guid || p.processName.empty()) continue;
    std::string text = p.processName;
    if (!p.pid.empty()) text += " (pid " + p.pid + (p.host.empty() ? "" : " on " + p.host) + ")";
    return text;
  }
  return "participant " + guid;
}

namespace {

EndpointVerdict judge(const ExpectedEndpoint& expected, const RemoteEndpoint& remote) {
  EndpointVerdict v;
  v.endpoint = remote;
  v.peerSide = remote.side != expected.sdkSide;
  if (remote.typeName != expected.typeName) {
    v.type = TypeCheck::DifferentName;
  } else if (!remote.typeId || !expected.typeId) {
    // Without type information on either side, Cyclone matches on the type name alone.
    v.type = TypeCheck::NoTypeInformation;
  } else {
    v.type = *remote.typeId == *expected.typeId ? TypeCheck::Equal : TypeCheck::DifferentId;
  }
  if (v.peerSide) {
    v.qosProblems = remote.side == Side::Writer ? qosIncompatibilities(remote.qos, expected.qos)
                                                : qosIncompatibilities(expected.qos, remote.qos);
  }
  v.matches = v.peerSide && v.qosProblems.empty() &&
              (v.type == TypeCheck::Equal || v.type == TypeCheck::NoTypeInformation);
  return v;
}

TopicReport collect(const ExpectedEndpoint& expected, const DomainSnapshot& snapshot) {
  TopicReport report{expected, snapshot.domain, {}};
  for (const auto& remote : snapshot.endpoints) {
    if (remote.topic == expected.topic) report.endpoints.push_back(judge(expected, remote));
  }
  // The controller's endpoints first: they are what the reader of the report looks for.
  std::stable_partition(report.endpoints.begin(), report.endpoints.end(),
                        [](const EndpointVerdict& v) { return v.peerSide; });
  return report;
}

std::string seconds(double s) {
  std::ostringstream out;
  out << s;
  return out.str();
}

// Where type lookup gave the controller's type: what differs, and the change that fixes it.
bool typeDifferenceProblem(const TopicReport& topic, const EndpointVerdict& v,
                           const std::string& who, std::vector<Problem>& problems) {
  const ExpectedEndpoint& e = topic.expected;
  if (!v.endpoint.typeShape || !e.typeShape) return false;
  const auto difference = compareShapes(*e.typeShape, *v.endpoint.typeShape);
  if (!difference) return false;
  const std::string start = e.topic + " is present with another type: " + who + " uses " +
                            v.endpoint.typeName + " with type identifier " +
                            v.endpoint.typeId->minimal + ", the SDK's is " + e.typeId->minimal;
  if (difference->extensibilityOnly) {
    problems.push_back({"type_extensibility",
                        start + "; only the extensibility differs: the controller's is " +
                            v.endpoint.typeShape->extensibility + ", the SDK's " +
                            e.typeShape->extensibility + "; declare it @" +
                            e.typeShape->extensibility +
                            " in the controller's message definition (IDL) and the SDK's "
                            "endpoints match it."});
  } else {
    problems.push_back({"type_mismatch",
                        start + "; the controller was built from a different message definition "
                                "(IDL), so the SDK's endpoints do not match it: " +
                            difference->text +
                            "; build the controller from the SDK's message definition."});
  }
  return true;
}

// One sentence per endpoint of the controller's side that would not match.
void endpointProblems(const TopicReport& topic, const std::vector<Participant>& participants,
                      std::vector<Problem>& problems) {
  const ExpectedEndpoint& e = topic.expected;
  for (const auto& v : topic.endpoints) {
    if (!v.peerSide) continue;
    const std::string who = describeParticipant(participants, v.endpoint.participantGuid);
    if (v.type == TypeCheck::DifferentName) {
      problems.push_back(
          {"type_mismatch", e.topic + " is present with another type: " + who + " uses " +
                                v.endpoint.typeName + " where the SDK uses " + e.typeName +
                                "; the controller was built from a different message definition."});
    } else if (v.type == TypeCheck::DifferentId && !typeDifferenceProblem(topic, v, who, problems)) {
      problems.push_back(
          {"type_mismatch", e.topic + " is present with another type: " + who + " uses " +
                                v.endpoint.typeName + " with type identifier " +
                                v.endpoint.typeId->minimal + ", the SDK's is " + e.typeId->minimal +
                                "; the controller was built from a different message "
                                "definition (IDL), so the SDK's endpoints do not match it."});
    }
    if (!v.qosProblems.empty()) {
      problems.push_back(
          {"qos_mismatch", "QoS mismatch on " + e.topic + ": the " + sideName(v.endpoint.side) +
                               " of " + who + " is incompatible with the SDK's " +
                               sideName(e.sdkSide) + " (" + joined(v.qosProblems, "; ") +
                               "); the controller uses other QoS settings than the SDK."});
    }
  }
}

// An endpoint of the controller's side on a topic whose name differs from the SDK's only by
// a prefix ("rt/user_obs") or letter case.
std::optional<RemoteEndpoint> similarTopic(const ExpectedEndpoint& expected,
                                           const DomainSnapshot& snapshot) {
  const auto folded = [](std::string name) {
    const auto slash = name.rfind('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
  };
  for (const auto& e : snapshot.endpoints) {
    if (e.side != expected.sdkSide && e.topic != expected.topic &&
        folded(e.topic) == folded(expected.topic)) {
      return e;
    }
  }
  return std::nullopt;
}

bool anyMatch(const TopicReport& topic) {
  return std::any_of(topic.endpoints.begin(), topic.endpoints.end(),
                     [](const auto& v) { return v.matches; });
}

bool anyPeer(const TopicReport& topic) {
  return std::any_of(topic.endpoints.begin(), topic.endpoints.end(),
                     [](const auto& v) { return v.peerSide; });
}

}  // namespace

Diagnosis diagnose(const Expectations& expected, const DomainSnapshot& dds,
                   const DomainSnapshot& ros, double listenSeconds) {
  Diagnosis d;
  for (const auto& topic : expected.topics) d.topics.push_back(collect(topic, dds));
  d.serviceTopics.push_back(collect(expected.request, ros));
  d.serviceTopics.push_back(collect(expected.reply, ros));

  // The controller's six topics.
  const std::string ddsDomain = std::to_string(dds.domain);
  if (dds.participants.empty()) {
    d.problems.push_back(
        {"no_participant", "No DDS participant found on domain " + ddsDomain + " within " +
                               seconds(listenSeconds) +
                               " s: usually the wrong network interface in CYCLONEDDS_URI, "
                               "multicast blocked on the network (list the robot under "
                               "Discovery/Peers), a firewall dropping UDP, or the controller "
                               "using another domain (--scan-domains finds it)."});
  } else {
    // Per topic without the controller's endpoint: a similar name where one exists.
    std::vector<std::optional<RemoteEndpoint>> renamed;
    for (const auto& topic : d.topics) {
      renamed.push_back(anyPeer(topic) ? std::nullopt : similarTopic(topic.expected, dds));
    }
    const bool anyRenamed =
        std::any_of(renamed.begin(), renamed.end(), [](const auto& r) { return r.has_value(); });
    if (!anyRenamed && std::none_of(d.topics.begin(), d.topics.end(), anyPeer)) {
      const std::vector<Problem> discarded = discardedProblems(dds);
      d.problems.insert(d.problems.end(), discarded.begin(), discarded.end());
      if (discarded.empty()) {
        d.problems.push_back(
            {"no_controller", std::to_string(dds.participants.size()) +
                                  " participant(s) on DDS domain " + ddsDomain +
                                  ", but none has the controller's topics: the controller program "
                                  "is not running there, or it uses another domain "
                                  "(--scan-domains finds it)."});
      }
    } else {
      for (size_t i = 0; i < d.topics.size(); ++i) {
        const auto& topic = d.topics[i];
        endpointProblems(topic, dds.participants, d.problems);
        if (anyPeer(topic)) continue;
        const bool sdkWrites = topic.expected.sdkSide == Side::Writer;
        const std::string missing = std::string("No ") + (sdkWrites ? "reader" : "writer") +
                                    " of " + topic.expected.topic + " on DDS domain " + ddsDomain;
        if (renamed[i]) {
          d.problems.push_back(
              {"topic_renamed",
               missing + ", but " +
                   describeParticipant(dds.participants, renamed[i]->participantGuid) +
                   " has one on " + renamed[i]->topic +
                   ": the controller uses other topic names (a ROS 2 prefix or another "
                   "spelling), which the SDK does not use."});
        } else {
          d.problems.push_back({"topic_missing", missing + ": the controller found does not " +
                                                     (sdkWrites ? "take" : "publish") + " " +
                                                     topic.expected.topic +
                                                     "; it may be a different controller program "
                                                     "or version."});
        }
      }
    }
  }
  d.controllerUsable = std::all_of(d.topics.begin(), d.topics.end(), anyMatch);

  // The configuration service: who serves it, and would the SDK's client accept it.
  const std::string rosDomain = std::to_string(ros.domain);
  std::map<std::string, ServerReport> servers;
  std::map<std::string, std::set<std::string>> readerIds, writerIds;
  std::map<std::string, bool> readerMatch, writerMatch;
  for (size_t i = 0; i < d.serviceTopics.size(); ++i) {
    const bool request = i == 0;
    for (const auto& v : d.serviceTopics[i].endpoints) {
      if (!v.peerSide) continue;
      ServerReport& s = servers[v.endpoint.participantGuid];
      s.participantGuid = v.endpoint.participantGuid;
      s.vendor = vendorName(v.endpoint.vendor);
      s.otherVendor = isKnownOtherVendor(v.endpoint.vendor);
      const auto id = ros2::userDataValue(v.endpoint.qos.userData, "serviceid");
      if (request) {
        s.hasRequestReader = true;
        readerMatch[s.participantGuid] = readerMatch[s.participantGuid] || v.matches;
        if (id) readerIds[s.participantGuid].insert(*id);
      } else {
        s.hasReplyWriter = true;
        writerMatch[s.participantGuid] = writerMatch[s.participantGuid] || v.matches;
        if (id) writerIds[s.participantGuid].insert(*id);
      }
    }
  }
  for (auto& [guid, s] : servers) {
    s.endpointsMatch = readerMatch[guid] && writerMatch[guid];
    const auto& readers = readerIds[guid];
    const auto& writers = writerIds[guid];
    if (!readers.empty() || !writers.empty()) {
      s.serviceIdPaired = std::any_of(writers.begin(), writers.end(),
                                      [&](const auto& id) { return readers.count(id) != 0; });
    }
    s.usable = s.endpointsMatch && !s.otherVendor && s.serviceIdPaired.value_or(true);
    d.servers.push_back(s);
  }
  d.serviceUsable =
      std::any_of(d.servers.begin(), d.servers.end(), [](const auto& s) { return s.usable; });

  if (!d.serviceUsable) {
    if (ros.participants.empty()) {
      d.problems.push_back(
          {"ros2_domain_empty", "No participant found on ROS 2 domain " + rosDomain + " within " +
                                    seconds(listenSeconds) +
                                    " s: the controller's ROS 2 side is not running, uses another "
                                    "ROS_DOMAIN_ID, or cannot be reached (network interface, "
                                    "multicast, firewall)."});
    } else if (d.servers.empty()) {
      d.problems.push_back(
          {"no_service", "No server of " + expected.serviceName + " on ROS 2 domain " + rosDomain +
                             " (" + std::to_string(ros.participants.size()) +
                             " participant(s) there): the controller does not serve its "
                             "configuration service; start it, or check its ROS_DOMAIN_ID."});
    }
    for (const auto& topic : d.serviceTopics) endpointProblems(topic, ros.participants, d.problems);
    for (const auto& s : d.servers) {
      const std::string who = describeParticipant(ros.participants, s.participantGuid);
      if (s.otherVendor) {
        d.problems.push_back(
            {"service_other_vendor", expected.serviceName + " is served by " + who + " through " +
                                         s.vendor +
                                         ", not Cyclone DDS: ROS 2 services do not work across "
                                         "Cyclone DDS and Fast DDS; run the controller's ROS 2 "
                                         "side on rmw_cyclonedds_cpp."});
      }
      if (!s.hasRequestReader || !s.hasReplyWriter) {
        d.problems.push_back({"service_incomplete",
                              "The server of " + expected.serviceName + " on " + who + " has no " +
                                  (s.hasRequestReader ? "reply writer" : "request reader") +
                                  ": it is starting up, shutting down or broken, so requests "
                                  "cannot be answered."});
      } else if (s.serviceIdPaired == false) {
        d.problems.push_back(
            {"service_unpaired", "The server of " + expected.serviceName + " on " + who +
                                     " has a request reader and a reply writer with different "
                                     "serviceid values: they are not one service, so the SDK "
                                     "would wait for it in vain."});
      }
    }
  }
  return d;
}

}  // namespace doctor
