#pragma once
// The network side of the diagnosis: one participant per domain that only reads the
// built-in discovery topics, and what Cyclone says about the configuration it applied.
#include <dds/dds.h>

#include <optional>
#include <string>
#include <vector>

#include "doctor/acks.hpp"
#include "doctor/diagnosis.hpp"
#include "doctor/security.hpp"

namespace doctor {

// The identity in a topic descriptor's type information; none when it was built without.
std::optional<TypeIdentity> descriptorTypeIdentity(const dds_topic_descriptor_t& descriptor);

// What Cyclone applied on one domain, read back from its own configuration trace.
struct DomainSetup {
  uint32_t domain = 0;
  std::vector<std::string> interfaces;  // the ones Cyclone selected
  std::string addresses;                // the addresses it found on them
  std::string allowMulticast;           // the configured AllowMulticast word
  std::optional<bool> multicast;        // whether discovery may use multicast; none: unknown
  std::string multicastReason;
  std::vector<std::string> peers;  // configured Discovery/Peers
};

// Joins the domains (one participant each; a shared one when they are equal) with the
// configuration in CYCLONEDDS_URI, listens for `seconds`, and returns what it saw.
// Creates only readers of the built-in topics, and with `measureAcks` a writer of
// observation requests (acks.hpp). Throws std::runtime_error when Cyclone refuses the
// configuration or the domain.
struct ProbeResult {
  std::vector<DomainSetup> setups;
  DomainSnapshot dds;
  DomainSnapshot ros;
  AckMeasurement acks;
  std::vector<SecurityTrace> security;  // the DDS domain's, then the ROS 2 domain's if apart
};
ProbeResult probeDomains(const Expectations& expected, uint32_t ddsDomain, uint32_t rosDomain,
                         double seconds, bool measureAcks);

}  // namespace doctor
