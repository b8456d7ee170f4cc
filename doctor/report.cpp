#include "doctor/report.hpp"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "doctor/acks.hpp"

namespace doctor {
namespace {

using nlohmann::json;

const char* readWord(robot::RuntimeStateRead read) {
  switch (read) {
    case robot::RuntimeStateRead::Complete:
      return "read";
    case robot::RuntimeStateRead::Malformed:
      return "malformed";
    case robot::RuntimeStateRead::Missing:
      return "missing";
    case robot::RuntimeStateRead::Unreadable:
      return "unreadable";
    case robot::RuntimeStateRead::Untrusted:
      return "untrusted";
  }
  return "unknown";
}

const char* typeWord(TypeCheck check) {
  switch (check) {
    case TypeCheck::Equal:
      return "equal";
    case TypeCheck::DifferentName:
      return "different_name";
    case TypeCheck::DifferentId:
      return "different_identifier";
    case TypeCheck::NoTypeInformation:
      return "name_only";
  }
  return "unknown";
}

const char* typeText(TypeCheck check) {
  switch (check) {
    case TypeCheck::Equal:
      return "same type";
    case TypeCheck::DifferentName:
      return "OTHER TYPE NAME";
    case TypeCheck::DifferentId:
      return "OTHER TYPE IDENTIFIER";
    case TypeCheck::NoTypeInformation:
      return "same type name";
  }
  return "";
}

// Six significant digits, as the file holds them.
json gainsJson(const std::array<float, 4>& values) {
  json out = json::array();
  for (const float v : values) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", static_cast<double>(v));
    out.push_back(std::strtod(buffer, nullptr));
  }
  return out;
}

std::string numbers(const std::array<float, 4>& values) {
  std::string text;
  for (const float v : values) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", static_cast<double>(v));
    text += (text.empty() ? "" : " ") + std::string(buffer);
  }
  return text;
}

json qosJson(const QosSummary& q) {
  return {{"reliability", reliabilityName(q)},
          {"durability", durabilityName(q)},
          {"history", historyName(q)}};
}

std::string qosText(const QosSummary& q) {
  return reliabilityName(q) + ", " + durabilityName(q) + ", " + historyName(q);
}

json participantJson(const Participant& p) {
  const std::string vendor = vendorName(p.vendor);
  return {{"guid", p.guid},
          {"vendor", vendor.empty() ? json(nullptr) : json(vendor)},
          {"process", p.processName.empty() ? json(nullptr) : json(p.processName)},
          {"pid", p.pid.empty() ? json(nullptr) : json(p.pid)},
          {"host", p.host.empty() ? json(nullptr) : json(p.host)},
          {"addresses", p.addresses.empty() ? json(nullptr) : json(p.addresses)}};
}

json topicJson(const TopicReport& t, const std::vector<Participant>& participants) {
  json endpoints = json::array();
  for (const auto& v : t.endpoints) {
    json e = {{"participant", v.endpoint.participantGuid},
              {"participant_name", describeParticipant(participants, v.endpoint.participantGuid)},
              {"kind", sideName(v.endpoint.side)},
              {"type_name", v.endpoint.typeName},
              {"type_id", v.endpoint.typeId ? json(v.endpoint.typeId->minimal) : json(nullptr)},
              {"type", typeWord(v.type)},
              {"qos", qosJson(v.endpoint.qos)},
              {"controller_side", v.peerSide},
              {"qos_problems", v.qosProblems},
              {"matches", v.matches}};
    endpoints.push_back(std::move(e));
  }
  return {{"topic", t.expected.topic},
          {"domain", t.domain},
          {"type_name", t.expected.typeName},
          {"type_id", t.expected.typeId ? json(t.expected.typeId->minimal) : json(nullptr)},
          {"sdk_creates", sideName(t.expected.sdkSide)},
          {"sdk_qos", qosJson(t.expected.qos)},
          {"endpoints", std::move(endpoints)}};
}

void topicText(std::ostringstream& out, const TopicReport& t,
               const std::vector<Participant>& participants) {
  out << "  " << t.expected.topic << "  " << t.expected.typeName << "; the SDK's "
      << sideName(t.expected.sdkSide) << ": " << qosText(t.expected.qos) << "\n";
  if (t.endpoints.empty()) out << "    (nothing discovered)\n";
  for (const auto& v : t.endpoints) {
    out << "    " << sideName(v.endpoint.side) << " of "
        << describeParticipant(participants, v.endpoint.participantGuid) << ": "
        << v.endpoint.typeName << " (" << typeText(v.type) << "), " << qosText(v.endpoint.qos)
        << " -> ";
    if (!v.peerSide) {
      out << "same side as the SDK (another SDK program)\n";
    } else if (v.matches) {
      out << "matches\n";
    } else {
      out << "DOES NOT MATCH\n";
    }
  }
}

}  // namespace

RuntimeStateInfo inspectRuntimeStateOf(int32_t ddsDomain) {
  RuntimeStateInfo info;
  try {
    const auto path = robot::runtimeStatePath(ddsDomain);
    info.path = path.string();
    info.read = robot::inspectRuntimeState(path, info.kp, info.kd);
  } catch (const std::exception& e) {
    info.error = e.what();
  }
  return info;
}

json toJson(const Report& r) {
  json setups = json::array();
  for (const auto& s : r.probe.setups) {
    setups.push_back({{"domain", s.domain},
                      {"interfaces", s.interfaces},
                      {"addresses", s.addresses},
                      {"allow_multicast", s.allowMulticast},
                      {"multicast", s.multicast ? json(*s.multicast) : json(nullptr)},
                      {"multicast_reason", s.multicastReason},
                      {"peers", s.peers}});
  }
  const auto& rs = r.runtimeState;
  json runtimeState = {{"path", rs.path.empty() ? json(nullptr) : json(rs.path)},
                       {"status", rs.error.empty() ? readWord(rs.read) : "error"},
                       {"trusted", rs.read == robot::RuntimeStateRead::Complete ||
                                           rs.read == robot::RuntimeStateRead::Malformed
                                       ? json(true)
                                   : rs.read == robot::RuntimeStateRead::Untrusted ? json(false)
                                                                                   : json(nullptr)},
                       {"kp", gainsJson(rs.kp)},
                       {"kd", gainsJson(rs.kd)}};
  if (!rs.error.empty()) runtimeState["error"] = rs.error;
  json participants = {{"dds", json::array()}, {"ros2", json::array()}};
  for (const auto& p : r.probe.dds.participants) participants["dds"].push_back(participantJson(p));
  for (const auto& p : r.probe.ros.participants) participants["ros2"].push_back(participantJson(p));
  json topics = json::array();
  for (const auto& t : r.diagnosis.topics) topics.push_back(topicJson(t, r.probe.dds.participants));
  json serviceTopics = json::array();
  for (const auto& t : r.diagnosis.serviceTopics)
    serviceTopics.push_back(topicJson(t, r.probe.ros.participants));
  json servers = json::array();
  for (const auto& s : r.diagnosis.servers) {
    servers.push_back(
        {{"participant", s.participantGuid},
         {"participant_name", describeParticipant(r.probe.ros.participants, s.participantGuid)},
         {"vendor", s.vendor.empty() ? json(nullptr) : json(s.vendor)},
         {"other_vendor", s.otherVendor},
         {"request_reader", s.hasRequestReader},
         {"reply_writer", s.hasReplyWriter},
         {"endpoints_match", s.endpointsMatch},
         {"serviceid_paired", s.serviceIdPaired ? json(*s.serviceIdPaired) : json(nullptr)},
         {"usable", s.usable}});
  }
  const auto& acks = r.probe.acks;
  const json acknowledgement = {{"attempted", acks.attempted},
                                {"matched", acks.matched},
                                {"seconds", acks.seconds},
                                {"timed_out", acks.timedOut},
                                {"too_slow", acks.tooSlow()}};
  json problems = json::array();
  for (const auto& p : r.diagnosis.problems)
    problems.push_back({{"code", p.code}, {"sentence", p.sentence}});
  return {
      {"cyclone",
       {{"uri", r.cycloneUri.empty() ? json(nullptr) : json(r.cycloneUri)}, {"domains", setups}}},
      {"dds_domain", r.ddsDomain},
      {"ros2_domain", r.rosDomain},
      {"listen_seconds", r.listenSeconds},
      {"runtime_state", runtimeState},
      {"participants", participants},
      {"topics", topics},
      {"service", {{"name", r.serviceName}, {"topics", serviceTopics}, {"servers", servers}}},
      {"acknowledgement", acknowledgement},
      {"problems", problems},
      {"notes", r.notes},
      {"controller_usable", r.diagnosis.controllerUsable},
      {"service_usable", r.diagnosis.serviceUsable}};
}

std::string toText(const Report& r) {
  std::ostringstream out;
  out << "Cyclone DDS configuration\n";
  out << "  CYCLONEDDS_URI: "
      << (r.cycloneUri.empty() ? "(not set: Cyclone's defaults)" : r.cycloneUri) << "\n";
  for (const auto& s : r.probe.setups) {
    out << "  domain " << s.domain << ": interfaces ";
    for (size_t i = 0; i < s.interfaces.size(); ++i) out << (i ? ", " : "") << s.interfaces[i];
    if (s.interfaces.empty()) out << "(unknown)";
    if (!s.addresses.empty()) out << " [found: " << s.addresses << "]";
    out << "; multicast "
        << (!s.multicast   ? "unknown"
            : *s.multicast ? "on"
                           : "off")
        << " (" << s.multicastReason << ")";
    if (!s.peers.empty()) {
      out << "; peers";
      for (const auto& p : s.peers) out << " " << p;
    }
    out << "\n";
  }
  out << "\nDomains: DDS " << r.ddsDomain << " (the six topics), ROS 2 " << r.rosDomain
      << " (the configuration service); listened " << r.listenSeconds << " s\n";

  const auto& rs = r.runtimeState;
  out << "\nRuntime state file\n  ";
  if (!rs.error.empty()) {
    out << "no usable temporary directory: " << rs.error << "\n";
  } else {
    out << rs.path << ": ";
    switch (rs.read) {
      case robot::RuntimeStateRead::Complete:
        out << "trusted; a Joystick would send its gains";
        break;
      case robot::RuntimeStateRead::Malformed:
        out << "trusted but malformed; a Joystick would send what it could read, defaults for the "
               "rest";
        break;
      case robot::RuntimeStateRead::Missing:
        out << "missing; a Joystick would send the default gains";
        break;
      case robot::RuntimeStateRead::Unreadable:
        out << "unreadable; a Joystick would send the default gains";
        break;
      case robot::RuntimeStateRead::Untrusted:
        out << "NOT trusted (not a regular file owned by you or root); a Joystick ignores it and "
               "sends the default gains";
        break;
    }
    out << "\n  kp " << numbers(rs.kp) << ", kd " << numbers(rs.kd) << "\n";
  }

  const auto participantsText = [&](const char* title, const DomainSnapshot& s) {
    out << "\nParticipants on " << title << " domain " << s.domain << "\n";
    if (s.participants.empty()) out << "  (none)\n";
    for (const auto& p : s.participants) {
      const std::string vendor = vendorName(p.vendor);
      out << "  " << describeParticipant(s.participants, p.guid) << ", "
          << (vendor.empty() ? "unknown DDS" : vendor);
      if (!p.addresses.empty()) out << ", " << p.addresses;
      out << ", guid " << p.guid << "\n";
    }
  };
  participantsText("DDS", r.probe.dds);
  if (r.rosDomain != r.ddsDomain) participantsText("ROS 2", r.probe.ros);

  out << "\nTopics on DDS domain " << r.ddsDomain << "\n";
  for (const auto& t : r.diagnosis.topics) topicText(out, t, r.probe.dds.participants);
  out << "  acknowledgement of an observation request: " << ackText(r.probe.acks) << "\n";
  out << "\nService " << r.serviceName << " on ROS 2 domain " << r.rosDomain << "\n";
  for (const auto& t : r.diagnosis.serviceTopics) topicText(out, t, r.probe.ros.participants);
  for (const auto& s : r.diagnosis.servers) {
    out << "  server " << describeParticipant(r.probe.ros.participants, s.participantGuid) << ": "
        << (s.vendor.empty() ? "unknown DDS" : s.vendor) << ", serviceid "
        << (s.serviceIdPaired ? (*s.serviceIdPaired ? "paired" : "NOT paired") : "absent") << " -> "
        << (s.usable ? "usable" : "NOT usable") << "\n";
  }

  if (!r.notes.empty()) {
    out << "\nNotes\n";
    for (const auto& n : r.notes) out << "  - " << n << "\n";
  }
  out << "\n";
  if (r.diagnosis.problems.empty()) {
    out << "The controller and its configuration service look usable.\n";
  } else {
    out << "Problems\n";
    for (const auto& p : r.diagnosis.problems) out << "  - " << p.sentence << "\n";
    out << "\nController " << (r.diagnosis.controllerUsable ? "usable" : "NOT usable")
        << ", service " << (r.diagnosis.serviceUsable ? "usable" : "NOT usable") << ".\n";
  }
  return out.str();
}

}  // namespace doctor
