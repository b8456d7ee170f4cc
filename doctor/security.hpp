#pragma once
// Why a secured link fails. DDS Security hides a secured controller from a program without
// an identity, and an identity from another CA from the controller, so the usual discovery
// snapshot shows nothing at all; what the doctor can still know comes from Cyclone itself:
// its discovery trace (every participant announced, secured or not, even the ones it then
// refuses), its log (handshake and validation failures, in its own words), and its access
// control judging the SDK's endpoints.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "doctor/diagnosis.hpp"

namespace doctor {

// Collects Cyclone's log messages (errors and warnings) while it lives, still writing each
// to standard error as Cyclone would.
class CycloneLog {
 public:
  CycloneLog();
  ~CycloneLog();
  CycloneLog(const CycloneLog&) = delete;
  CycloneLog& operator=(const CycloneLog&) = delete;

  // The messages about one domain and those about none; all without a domain.
  std::vector<std::string> messages(std::optional<uint32_t> domain = std::nullopt) const;
  void add(uint32_t domain, const std::string& message);

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<uint32_t, std::string>> messages_;
};

// What one domain's Cyclone trace (categories config and discovery) says about security.
struct SecurityTrace {
  uint32_t domain = 0;
  bool configured = false;          // this program's configuration has a Security section
  std::string identityCertificate;  // as configured (a file: URI)
  std::string identityCa;
  std::string permissions;
  std::vector<std::string> securedPeers;  // GUIDs (as in Participant::guid) announced secured
  std::vector<std::string> plainPeers;    // and announced without security
};

SecurityTrace readSecurityTrace(uint32_t domain, const std::string& tracePath);

// Creates the SDK's DDS entities, exactly as Robot() and Joystick() do, with the
// configuration's identity on a domain of the same id that nothing else can reach (a domain
// tag of its own): the error the first refused one raises, or empty when all are allowed.
// Call only while no other domain of that id exists in this process.
std::string sdkEndpointRefusal(uint32_t domain);

// The problems that explain a failing secured link on one domain, most telling first.
std::vector<Problem> securityProblems(const SecurityTrace& trace, const DomainSnapshot& seen,
                                      const std::vector<std::string>& log,
                                      const std::string& refusal, double listenSeconds);

// Why Cyclone refused to create this program's own participant, when its log says security
// was the reason.
std::optional<Problem> participantRefusal(const std::vector<std::string>& log);

// Whether a problem code is one of the above.
bool isSecurityProblem(const std::string& code);

}  // namespace doctor

namespace doctor {

// Puts the security problems of every traced domain in front of the diagnosis's own, and
// drops its verdicts of no participant, no controller or no service for a domain where
// security explains the silence.
void addSecurityProblems(Diagnosis& diagnosis, const std::vector<SecurityTrace>& traces,
                         const DomainSnapshot& dds, const DomainSnapshot& ros,
                         const CycloneLog& log, const std::string& refusal, double listenSeconds);

}  // namespace doctor
