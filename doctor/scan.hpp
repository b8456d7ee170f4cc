#pragma once
// --scan-domains: which DDS domains carry the six topics. Joining 233 domains at once takes
// more sockets than Cyclone's receive threads can watch in one process (they select() on
// descriptors below 1024), so the domains are shared out over a few worker processes, each
// with one silent participant per domain, all created at the same time.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "doctor/diagnosis.hpp"

namespace doctor {

constexpr uint32_t kLastDomainId = 232;

// What one domain showed: the six topics' endpoints by side, and who has them.
struct DomainPresence {
  uint32_t domain = 0;
  std::vector<std::string> controllerTopics;  // the controller's side of the six
  std::vector<std::string> sdkTopics;         // the SDK's side (another SDK program)
  std::vector<std::string> controllerNames;   // participants with the controller's side
  size_t participants = 0;
};

struct ScanResult {
  std::vector<DomainPresence> domains;  // only those with at least one of the six topics
  double seconds = 0;                   // from the start to the last answer
  std::vector<std::string> failures;    // worker processes that could not report
};

// Must run before this process creates any DDS entity: it forks.
ScanResult scanDomains(const Expectations& expected, double listenSeconds);

// The findings as problems: where the controller is if not on `ownDomain`, or nowhere.
std::vector<Problem> scanProblems(const ScanResult& scan, uint32_t ownDomain, double listenSeconds);

// The scan's report, for a person and for a script.
std::string scanText(const ScanResult& scan, uint32_t ownDomain, const std::vector<Problem>& problems);
nlohmann::json scanJson(const ScanResult& scan, uint32_t ownDomain,
                        const std::vector<Problem>& problems);

}  // namespace doctor
