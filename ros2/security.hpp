#pragma once
// DDS Security for the context's participant, chosen from ROS 2's own switches as a ROS 2
// process on Cyclone DDS chooses it, so that one keystore serves both:
//   ROS_SECURITY_ENABLE=true        secure the participant (any other value: do not)
//   ROS_SECURITY_STRATEGY=Enforce   refuse to start without the enclave's files (any other
//                                   value: start unsecured when they are missing)
//   ROS_SECURITY_KEYSTORE           the keystore's root
//   ROS_SECURITY_ENCLAVE_OVERRIDE   the enclave to use instead of the context's own
// The enclave "/" is KEYSTORE/enclaves itself, "/a/b" is KEYSTORE/enclaves/a/b. It must hold
// identity_ca.cert.pem, cert.pem, key.pem, permissions_ca.cert.pem, governance.p7s and
// permissions.p7s, and may hold crl.pem.
#include <dds/dds.h>

#include <string>
#include <utility>
#include <vector>

namespace ros2 {

struct Security {
  // Participant QoS properties; empty when the participant is not secured.
  std::vector<std::pair<std::string, std::string>> properties;
  std::string enclave;     // the enclave's name, when secured
  std::string directory;   // its directory, when secured

  bool enabled() const noexcept { return !properties.empty(); }
};

// Reads the switches from the environment for a context whose own enclave is `enclave`.
// Throws std::runtime_error, with a message naming what is missing, when the strategy is
// Enforce and the enclave's files are not all there.
Security securityFromEnvironment(const std::string& enclave);

// Adds the properties to a participant QoS; nothing when not secured.
void applySecurity(dds_qos_t* qos, const Security& security);

}  // namespace ros2
