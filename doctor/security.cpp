#include "doctor/security.hpp"

#include <dds/dds.h>
#include <dds/ddsrt/log.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

#include "dds/dds_layer.hpp"

namespace doctor {
namespace {

// Only one log can be collected at a time: Cyclone has a single sink.
std::mutex g_sinkMutex;
CycloneLog* g_sink = nullptr;

// Each call is one message, without its header and newline, which Cyclone keeps around it
// in the same buffer (its own stderr sink writes them from there too).
void collect(void*, const dds_log_data_t* data) {
  if (data == nullptr || data->message == nullptr) return;
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  (void)std::fwrite(data->message - data->hdrsize, 1, data->hdrsize + data->size + 1, stderr);
  std::string message(data->message, data->size);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  if (g_sink != nullptr && !message.empty()) g_sink->add(data->domid, message);
}

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// Cyclone prints a GUID as four 32-bit words in hex without leading zeros; the snapshot
// has its 16 bytes in hex.
std::string guidFromTrace(const std::string& words) {
  std::string hex;
  std::string::size_type start = 0;
  for (int i = 0; i < 4; ++i) {
    const auto end = words.find(':', start);
    std::string word = words.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (word.empty() || word.size() > 8) return "";
    hex += std::string(8 - word.size(), '0') + word;
    if (end == std::string::npos) return i == 3 ? hex : "";
    start = end + 1;
  }
  return "";
}

// The value of a "config: <path>: <value> {<sources>}" trace message.
std::string configValue(const std::string& message, const std::string& path) {
  const std::string prefix = "config: " + path + ": ";
  if (message.compare(0, prefix.size(), prefix) != 0) return "";
  std::string value = message.substr(prefix.size());
  const auto brace = value.rfind(" {");
  if (brace != std::string::npos) value.resize(brace);
  return value;
}

// The announced participants whose endpoints never showed up: the ones security kept out.
std::vector<std::string> withoutEndpoints(const std::vector<std::string>& announced,
                                          const DomainSnapshot& seen) {
  std::vector<std::string> out;
  for (const auto& guid : announced) {
    const bool visible = std::any_of(seen.endpoints.begin(), seen.endpoints.end(),
                                     [&](const RemoteEndpoint& e) { return e.participantGuid == guid; });
    if (!visible && std::find(out.begin(), out.end(), guid) == out.end()) out.push_back(guid);
  }
  return out;
}

std::string listOf(const std::vector<std::string>& guids) {
  std::string out;
  for (const auto& g : guids) out += (out.empty() ? "" : ", ") + g;
  return out;
}

std::string plainPath(const std::string& uri) {
  return uri.compare(0, 7, "file://") == 0 ? uri.substr(7) : uri.compare(0, 5, "file:") == 0 ? uri.substr(5) : uri;
}

std::string seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", s);
  return text;
}

// Cyclone's own account of a failed handshake with a remote participant, if it gave one.
std::string handshakeFailure(const std::vector<std::string>& log) {
  for (const auto& m : log) {
    if (contains(m, "andshake") && (contains(m, "failed") || contains(m, "not valid"))) return m;
  }
  for (const auto& m : log) {
    if (contains(m, "emote") && contains(m, "not allowed")) return m;
  }
  return "";
}

const char* const kMakeIdentity =
    "make one in the controller's keystore (tarvek-keys add KEYSTORE NAME --role drive, then "
    "tarvek-keys config KEYSTORE NAME -o FILE) and point CYCLONEDDS_URI at that file";

}  // namespace

CycloneLog::CycloneLog() {
  {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    g_sink = this;
  }
  dds_set_log_sink(collect, nullptr);
}

CycloneLog::~CycloneLog() {
  // Returns only once no thread uses the callback any more.
  dds_set_log_sink(nullptr, nullptr);
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  g_sink = nullptr;
}

std::vector<std::string> CycloneLog::messages(std::optional<uint32_t> domain) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const auto& [id, message] : messages_) {
    if (!domain || id == *domain || id == UINT32_MAX) out.push_back(message);
  }
  return out;
}

void CycloneLog::add(uint32_t domain, const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.emplace_back(domain, message);
}

SecurityTrace readSecurityTrace(uint32_t domain, const std::string& tracePath) {
  SecurityTrace trace;
  trace.domain = domain;
  std::ifstream in(tracePath);
  std::string line;
  while (std::getline(in, line)) {
    // "<time> [<domain>] <thread>: <message>"
    const auto bracket = line.find("] ");
    const auto colon = bracket == std::string::npos ? std::string::npos : line.find(": ", bracket + 2);
    if (colon == std::string::npos) continue;
    const std::string message = line.substr(colon + 2);
    std::string value;
    if (!(value = configValue(message, "Domain/Security/Authentication/IdentityCertificate/#text")).empty()) {
      trace.configured = true;
      trace.identityCertificate = value;
    } else if (!(value = configValue(message, "Domain/Security/Authentication/IdentityCA/#text")).empty()) {
      trace.identityCa = value;
    } else if (!(value = configValue(message, "Domain/Security/AccessControl/Permissions/#text")).empty()) {
      trace.permissions = value;
    } else if (message.compare(0, 9, "SPDP ST0 ") == 0 && contains(message, " NEW")) {
      // "SPDP ST0 <guid> bes <set>[ (secure)] NEW ...": every participant announced to us,
      // including the ones Cyclone then keeps away from the application.
      const auto end = message.find(' ', 9);
      const std::string guid = guidFromTrace(message.substr(9, end == std::string::npos ? std::string::npos : end - 9));
      if (guid.empty()) continue;
      const auto newAt = message.find(" NEW");
      const bool secured = message.substr(0, newAt).find("(secure)") != std::string::npos;
      (secured ? trace.securedPeers : trace.plainPeers).push_back(guid);
    }
  }
  return trace;
}

std::string sdkEndpointRefusal(uint32_t domain) {
  const char* uri = std::getenv("CYCLONEDDS_URI");
  std::mt19937_64 random(std::random_device{}() ^
                         static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  // Peers ignore participants with another domain tag, and we ignore theirs: the endpoints
  // created here are judged by access control and matched with nobody.
  const std::string tag = "<Discovery><Tag>tarvek-doctor-" + std::to_string(getpid()) + "-" +
                          std::to_string(random()) + "</Tag></Discovery>";
  const std::string config = (uri != nullptr && *uri != '\0') ? std::string(uri) + "," + tag : tag;
  const dds_entity_t isolated = dds_create_domain(domain, config.c_str());
  if (isolated < 0) return "";
  std::string refusal;
  try {
    sdk_dds::DdsConfig sdk;
    sdk.domain_id = static_cast<int32_t>(domain);
    sdk_dds::DdsEndpoints endpoints;
    endpoints.init(sdk);
  } catch (const std::exception& e) {
    refusal = e.what();
  }
  (void)dds_delete(isolated);
  return contains(refusal, dds_strretcode(DDS_RETCODE_NOT_ALLOWED_BY_SECURITY)) ? refusal : "";
}

std::vector<Problem> securityProblems(const SecurityTrace& trace, const DomainSnapshot& seen,
                                      const std::vector<std::string>& log,
                                      const std::string& refusal, double listenSeconds) {
  std::vector<Problem> problems;
  const std::string domain = std::to_string(trace.domain);
  const std::vector<std::string> secured = withoutEndpoints(trace.securedPeers, seen);
  const std::vector<std::string> plain = withoutEndpoints(trace.plainPeers, seen);
  if (!secured.empty() && !trace.configured) {
    problems.push_back(
        {"security_no_identity",
         "A secured participant (" + listOf(secured) + ") was seen on domain " + domain +
             ", but this program has no identity: CYCLONEDDS_URI names no Security section, and a "
             "secured controller refuses unauthenticated participants (a Robot then times out as "
             "with no controller). To talk to it, " + kMakeIdentity + "."});
  }
  if (!secured.empty() && trace.configured) {
    std::string sentence =
        "A secured participant (" + listOf(secured) + ") was seen on domain " + domain +
        " but did not authenticate with this program within " + seconds(listenSeconds) +
        ": this program's certificate (" + plainPath(trace.identityCertificate) +
        ") is not from the controller's identity CA, or the controller's is not from ours (" +
        plainPath(trace.identityCa) + "); both must come from one keystore.";
    const std::string said = handshakeFailure(log);
    if (contains(said, "expired")) {
      sentence = "A secured participant (" + listOf(secured) + ") was seen on domain " + domain +
                 " but its certificate or permissions have expired (Cyclone: " + said +
                 "): the controller needs a new identity from the keystore.";
    } else if (!said.empty()) {
      sentence += " Cyclone: " + said;
    }
    problems.push_back({"security_not_authenticated", sentence});
  }
  if (!plain.empty() && trace.configured) {
    problems.push_back(
        {"security_peer_unsecured",
         "An unsecured participant (" + listOf(plain) + ") was seen on domain " + domain +
             ", but this program's configuration secures its participants (the identity in " +
             plainPath(trace.identityCertificate) +
             ") and their governance admits only authenticated ones: the controller is not "
             "secured, so either secure it with an identity from the same keystore or drop the "
             "Security section from CYCLONEDDS_URI."});
  }
  if (!refusal.empty()) {
    problems.push_back(
        {"security_permissions",
         "With this configuration Robot() and Joystick() fail at construction with \"" + refusal +
             "\": the permissions in " + plainPath(trace.permissions) +
             " do not grant this identity every topic the SDK creates (a drive identity may; an "
             "observe identity only reads, which suits the recorder and this doctor)."});
  }
  return problems;
}

std::optional<Problem> participantRefusal(const std::vector<std::string>& log) {
  for (const auto& m : log) {
    if (!contains(m, "local permission") && !contains(m, "local identity")) continue;
    if (contains(m, "certificate has expired")) {
      return Problem{"security_certificate_expired",
                     "This program's certificate has expired, so Cyclone refuses to create its "
                     "participant (Cyclone: " + m + "): issue a new one (tarvek-keys add KEYSTORE "
                     "NAME --role ROLE --force) and restart."};
    }
    if (contains(m, "validity period expired")) {
      return Problem{"security_permissions_expired",
                     "This program's permissions have expired, so Cyclone refuses to create its "
                     "participant (Cyclone: " + m + "): sign new ones (tarvek-keys add KEYSTORE "
                     "NAME --role ROLE --force) and restart."};
    }
    return Problem{"security_identity_refused",
                   "Cyclone refuses this program's identity or permissions (Cyclone: " + m +
                       "): check the files the Security section of CYCLONEDDS_URI names."};
  }
  for (const auto& m : log) {
    if (contains(m, "ecurity") && (contains(m, "load") || contains(m, "library"))) {
      return Problem{"security_plugins",
                     "Cyclone could not load its security plugins (Cyclone: " + m +
                         "): the Library entries of the Security section name plugins it cannot "
                         "open; name them dds_security_auth, dds_security_ac and "
                         "dds_security_crypto, without a path."};
    }
  }
  return std::nullopt;
}

bool isSecurityProblem(const std::string& code) { return code.compare(0, 9, "security_") == 0; }

}  // namespace doctor

namespace doctor {

void addSecurityProblems(Diagnosis& diagnosis, const std::vector<SecurityTrace>& traces,
                         const DomainSnapshot& dds, const DomainSnapshot& ros,
                         const CycloneLog& log, const std::string& refusal, double listenSeconds) {
  std::vector<Problem> found;
  for (const SecurityTrace& trace : traces) {
    const bool isDds = trace.domain == dds.domain;
    const DomainSnapshot& seen = isDds ? dds : ros;
    std::vector<Problem> problems =
        securityProblems(trace, seen, log.messages(trace.domain), isDds ? refusal : std::string(),
                         listenSeconds);
    const bool explainsSilence = std::any_of(problems.begin(), problems.end(), [](const Problem& p) {
      return p.code != "security_permissions";
    });
    if (explainsSilence) {
      auto& own = diagnosis.problems;
      const bool alsoRos = trace.domain == ros.domain;
      own.erase(std::remove_if(own.begin(), own.end(),
                               [&](const Problem& p) {
                                 return (isDds && (p.code == "no_participant" || p.code == "no_controller")) ||
                                        (alsoRos && (p.code == "ros2_domain_empty" || p.code == "no_service"));
                               }),
                own.end());
    }
    found.insert(found.end(), problems.begin(), problems.end());
  }
  diagnosis.problems.insert(diagnosis.problems.begin(), found.begin(), found.end());
}

}  // namespace doctor
