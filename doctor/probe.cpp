#include "doctor/probe.hpp"

// Cyclone's type-information helpers are exported but declared in its lower-level headers.
#include <dds/ddsi/ddsi_sertype.h>
#include <dds/ddsi/ddsi_typelib.h>
#include <dds/ddsi/ddsi_xqos.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>

#include "dds/dds_layer.hpp"
#include "doctor/discarded.hpp"
#include "doctor/typediff.hpp"
#include "ros2/entity.hpp"

namespace doctor {
namespace {

std::string typeIdText(const ddsi_typeid_t* id) {
  if (id == nullptr) return "";
  struct ddsi_typeid_str buffer;
  std::string text = ddsi_make_typeid_str(&buffer, id);
  // "[MINIMAL 0123...]": keep the digest, the kind is implied by the field.
  const auto space = text.find(' ');
  if (space != std::string::npos) text = text.substr(space + 1);
  if (!text.empty() && text.back() == ']') text.pop_back();
  return text;
}

std::optional<TypeIdentity> identityOf(const dds_typeinfo_t* info) {
  if (info == nullptr || !ddsi_typeinfo_present(info)) return std::nullopt;
  return TypeIdentity{typeIdText(ddsi_typeinfo_minimal_typeid(info)),
                      typeIdText(ddsi_typeinfo_complete_typeid(info))};
}

std::string property(const dds_qos_t* qos, const char* name) {
  char* value = nullptr;
  if (qos == nullptr || !dds_qget_prop(qos, name, &value) || value == nullptr) return "";
  std::string text(value);
  dds_free(value);
  return text;
}

std::string xmlEscaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A file for Cyclone's configuration trace, removed when the probe is done with it.
class TraceFile {
 public:
  TraceFile() {
    // Without a usable temporary directory the diagnosis goes on, only without the trace.
    std::error_code error;
    const auto directory = std::filesystem::temp_directory_path(error);
    if (error) return;
    std::string pattern = (directory / "tarvek-doctor-XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    if (fd >= 0) {
      ::close(fd);
      path_ = pattern;
    }
  }
  ~TraceFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;
  const std::string& path() const noexcept { return path_; }

 private:
  std::string path_;
};

// The user's configuration with only the configuration trace added: later fragments of a
// Cyclone configuration list override earlier ones, the rest stays the user's.
std::string configWithTrace(const TraceFile& trace) {
  const char* uri = std::getenv("CYCLONEDDS_URI");
  std::string config = uri != nullptr ? uri : "";
  if (trace.path().empty()) return config;
  const std::string fragment = "<Tracing><Category>config,warning,discovery</Category><OutputFile>" +
                               xmlEscaped(trace.path()) + "</OutputFile></Tracing>";
  return config.empty() ? fragment : config + "," + fragment;
}

std::string afterPrefix(const std::string& message, const std::string& prefix) {
  if (message.compare(0, prefix.size(), prefix) != 0) return {};
  std::string value = message.substr(prefix.size());
  const auto brace = value.rfind(" {");
  if (brace != std::string::npos) value.resize(brace);
  return value;
}

bool interfaceSupportsMulticast(const std::string& name) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool multicast = false;
  for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_name != nullptr && name == a->ifa_name && (a->ifa_flags & IFF_MULTICAST) != 0)
      multicast = true;
  }
  freeifaddrs(list);
  return multicast;
}

DomainSetup readSetup(uint32_t domain, const std::string& tracePath) {
  DomainSetup setup;
  setup.domain = domain;
  std::string forcedMulticast = "default";
  std::ifstream in(tracePath);
  std::string line;
  while (std::getline(in, line)) {
    // "<time> [<domain>] <thread>: <message>"
    const auto bracket = line.find("] ");
    const auto colon =
        bracket == std::string::npos ? std::string::npos : line.find(": ", bracket + 2);
    if (colon == std::string::npos) continue;
    const std::string message = line.substr(colon + 2);
    std::string value;
    if (!(value = afterPrefix(message, "config: Domain/General/AllowMulticast/#text: ")).empty()) {
      setup.allowMulticast = value;
    } else if (!(value = afterPrefix(
                     message, "config: Domain/General/Interfaces/NetworkInterface[@multicast]: "))
                    .empty()) {
      forcedMulticast = value;
    } else if (!(value = afterPrefix(message, "config: Domain/Discovery/Peers/Peer[@Address]: "))
                    .empty()) {
      setup.peers.push_back(value);
    } else if (message.compare(0, 21, "selected interfaces: ") == 0) {
      // "lo (index 1 priority 2), eth0 (index 2 priority 0)"
      std::string rest = message.substr(21);
      size_t start = 0;
      while (start < rest.size()) {
        const auto end = rest.find(", ", start);
        const std::string item =
            rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
        setup.interfaces.push_back(item.substr(0, item.find(' ')));
        if (end == std::string::npos) break;
        start = end + 2;
      }
    } else if (message.compare(0, 12, "interfaces: ") == 0) {
      setup.addresses = message.substr(12);
    }
  }
  if (setup.interfaces.empty()) {
    setup.multicastReason = "Cyclone's configuration trace could not be read";
  } else if (setup.allowMulticast == "false") {
    setup.multicast = false;
    setup.multicastReason = "AllowMulticast is false";
  } else {
    std::vector<std::string> capable;
    for (const auto& name : setup.interfaces) {
      if (forcedMulticast == "true" ||
          (forcedMulticast != "false" && interfaceSupportsMulticast(name))) {
        capable.push_back(name);
      }
    }
    setup.multicast = !capable.empty();
    setup.multicastReason =
        *setup.multicast ? "AllowMulticast is " +
                               (setup.allowMulticast.empty() ? "default" : setup.allowMulticast)
                         : "the selected interfaces do not support multicast";
  }
  return setup;
}

// One domain joined with the user's configuration: a participant and readers of the three
// built-in discovery topics, nothing else.
class DomainProbe {
 public:
  DomainProbe(uint32_t domain, const std::string& config) : domainId_(domain) {
    const dds_entity_t d = dds_create_domain(domain, config.c_str());
    sdk_dds::checkRc(d, "dds_create_domain(" + std::to_string(domain) + ")");
    domain_ = d;
    try {
      participant_ = dds_create_participant(domain, nullptr, nullptr);
      sdk_dds::checkRc(participant_, "dds_create_participant");
      dds_guid_t guid;
      sdk_dds::checkRc(dds_get_guid(participant_, &guid), "dds_get_guid");
      ownGuid_ = ros2::hex(guid.v, sizeof guid.v);
      participants_ = builtinReader(DDS_BUILTIN_TOPIC_DCPSPARTICIPANT, "DCPSParticipant");
      publications_ = builtinReader(DDS_BUILTIN_TOPIC_DCPSPUBLICATION, "DCPSPublication");
      subscriptions_ = builtinReader(DDS_BUILTIN_TOPIC_DCPSSUBSCRIPTION, "DCPSSubscription");
    } catch (...) {
      (void)dds_delete(domain_);
      throw;
    }
  }
  ~DomainProbe() { (void)dds_delete(domain_); }
  DomainProbe(const DomainProbe&) = delete;
  DomainProbe& operator=(const DomainProbe&) = delete;

  dds_entity_t participant() const noexcept { return participant_; }

  // `expected`: the identities the SDK's types have per topic; an endpoint with another one
  // has its type fetched by type lookup so the report can say what differs.
  DomainSnapshot snapshot(const std::map<std::string, TypeIdentity>& expected) const {
    DomainSnapshot s;
    s.domain = domainId_;
    forEachAlive(participants_, [&](const void* sample) {
      const auto* p = static_cast<const dds_builtintopic_participant_t*>(sample);
      Participant participant;
      participant.guid = ros2::hex(p->key.v, sizeof p->key.v);
      if (participant.guid == ownGuid_) return;
      participant.vendor = {p->key.v[0], p->key.v[1]};
      participant.processName = property(p->qos, "__ProcessName");
      participant.pid = property(p->qos, "__Pid");
      participant.host = property(p->qos, "__Hostname");
      participant.addresses = property(p->qos, "__NetworkAddresses");
      s.participants.push_back(std::move(participant));
    });
    for (const dds_entity_t reader : {publications_, subscriptions_}) {
      const Side side = reader == publications_ ? Side::Writer : Side::Reader;
      forEachAlive(reader, [&](const void* sample) {
        auto* e = static_cast<dds_builtintopic_endpoint_t*>(const_cast<void*>(sample));
        RemoteEndpoint endpoint;
        endpoint.participantGuid = ros2::hex(e->participant_key.v, sizeof e->participant_key.v);
        if (endpoint.participantGuid == ownGuid_) return;
        endpoint.vendor = {e->participant_key.v[0], e->participant_key.v[1]};
        endpoint.side = side;
        endpoint.topic = e->topic_name != nullptr ? e->topic_name : "";
        endpoint.typeName = e->type_name != nullptr ? e->type_name : "";
        const dds_typeinfo_t* info = nullptr;
        if (dds_builtintopic_get_endpoint_type_info(e, &info) == DDS_RETCODE_OK)
          endpoint.typeId = identityOf(info);
        const auto known = expected.find(endpoint.topic);
        if (endpoint.typeId && known != expected.end() && !(known->second == *endpoint.typeId))
          endpoint.typeShape = fetchShape(participant_, info, DDS_SECS(1));
        endpoint.qos = summarizeQos(e->qos, side);
        s.endpoints.push_back(std::move(endpoint));
      });
    }
    return s;
  }

 private:
  dds_entity_t builtinReader(dds_entity_t topic, const char* name) const {
    const dds_entity_t reader = dds_create_reader(participant_, topic, nullptr, nullptr);
    sdk_dds::checkRc(reader, std::string("dds_create_reader(") + name + ")");
    return reader;
  }

  // Instances that are still alive: a participant or endpoint that left is disposed.
  // Taking is fine: the probe looks once, at the end of its listening time.
  template <class Visit>
  static void forEachAlive(dds_entity_t reader, Visit visit) {
    constexpr int32_t batch = 64;
    for (;;) {
      void* samples[batch] = {};
      dds_sample_info_t infos[batch];
      const dds_return_t n =
          dds_take_mask(reader, samples, infos, batch, batch,
                        DDS_ANY_SAMPLE_STATE | DDS_ANY_VIEW_STATE | DDS_ALIVE_INSTANCE_STATE);
      if (n <= 0) return;
      struct Loan {
        dds_entity_t reader;
        void** samples;
        int32_t count;
        ~Loan() { (void)dds_return_loan(reader, samples, count); }
      } loan{reader, samples, n};
      for (int32_t i = 0; i < n; ++i) {
        if (infos[i].valid_data && samples[i] != nullptr) visit(samples[i]);
      }
      if (n < batch) return;
    }
  }

  uint32_t domainId_;
  dds_entity_t domain_ = 0;
  dds_entity_t participant_ = 0;
  std::string ownGuid_;
  dds_entity_t participants_ = 0;
  dds_entity_t publications_ = 0;
  dds_entity_t subscriptions_ = 0;
};

}  // namespace

std::optional<TypeIdentity> descriptorTypeIdentity(const dds_topic_descriptor_t& descriptor) {
  if (descriptor.type_information.data == nullptr || descriptor.type_information.sz == 0)
    return std::nullopt;
  ddsi_sertype_cdr_data_t serialized{descriptor.type_information.sz,
                                     const_cast<uint8_t*>(descriptor.type_information.data)};
  ddsi_typeinfo_t* info = ddsi_typeinfo_deser(&serialized);
  if (info == nullptr) return std::nullopt;
  std::optional<TypeIdentity> identity = identityOf(info);
  ddsi_typeinfo_fini(info);
  dds_free(info);
  return identity;
}

ProbeResult probeDomains(const Expectations& expected, uint32_t ddsDomain, uint32_t rosDomain,
                         double seconds, bool measureAcks) {
  TraceFile ddsTrace;
  TraceFile rosTrace;
  ProbeResult result;
  std::map<std::string, TypeIdentity> identities;
  for (const auto* e : {&expected.request, &expected.reply}) {
    if (e->typeId) identities[e->topic] = *e->typeId;
  }
  for (const auto& e : expected.topics) {
    if (e.typeId) identities[e.topic] = *e.typeId;
  }
  {
    DomainProbe dds(ddsDomain, configWithTrace(ddsTrace));
    std::unique_ptr<DomainProbe> ros;
    if (rosDomain != ddsDomain)
      ros = std::make_unique<DomainProbe>(rosDomain, configWithTrace(rosTrace));
    dds_sleepfor(static_cast<dds_duration_t>(seconds * 1e9));
    result.dds = dds.snapshot(identities);
    result.ros = ros ? ros->snapshot(identities) : result.dds;
    result.ros.domain = rosDomain;
    if (measureAcks) {
      for (const auto& e : expected.topics) {
        if (e.topic == "user_obs_request")
          result.acks = measureAcknowledgements(dds.participant(), e, result.dds);
      }
    }
  }
  // Cyclone closes the trace when the domain goes, so it is complete only now.
  result.setups.push_back(readSetup(ddsDomain, ddsTrace.path()));
  result.dds.discarded = readDiscarded(ddsTrace.path());
  if (rosDomain != ddsDomain) result.ros.discarded = readDiscarded(rosTrace.path());
  if (rosDomain != ddsDomain) result.setups.push_back(readSetup(rosDomain, rosTrace.path()));
  // Discovery lines name the participants that security keeps out of the snapshot.
  result.security.push_back(readSecurityTrace(ddsDomain, ddsTrace.path()));
  if (rosDomain != ddsDomain) result.security.push_back(readSecurityTrace(rosDomain, rosTrace.path()));
  return result;
}

}  // namespace doctor
