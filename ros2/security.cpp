#include "ros2/security.hpp"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace ros2 {
namespace {

namespace fs = std::filesystem;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

struct EnclaveFile {
  const char* property;
  const char* file;
};

// The files a secured participant cannot do without, and the property each one feeds.
constexpr EnclaveFile kRequired[] = {
    {"dds.sec.auth.identity_ca", "identity_ca.cert.pem"},
    {"dds.sec.auth.identity_certificate", "cert.pem"},
    {"dds.sec.auth.private_key", "key.pem"},
    {"dds.sec.access.permissions_ca", "permissions_ca.cert.pem"},
    {"dds.sec.access.governance", "governance.p7s"},
    {"dds.sec.access.permissions", "permissions.p7s"},
};
constexpr EnclaveFile kOptionalCrl{"org.eclipse.cyclonedds.sec.auth.crl", "crl.pem"};

// The plugins by name alone: Cyclone resolves them next to the libddsc it runs on, so the
// same properties work with the system's Cyclone and with the one a wheel carries.
constexpr std::pair<const char*, const char*> kPlugins[] = {
    {"dds.sec.auth.library.path", "dds_security_auth"},
    {"dds.sec.auth.library.init", "init_authentication"},
    {"dds.sec.auth.library.finalize", "finalize_authentication"},
    {"dds.sec.crypto.library.path", "dds_security_crypto"},
    {"dds.sec.crypto.library.init", "init_crypto"},
    {"dds.sec.crypto.library.finalize", "finalize_crypto"},
    {"dds.sec.access.library.path", "dds_security_ac"},
    {"dds.sec.access.library.init", "init_access_control"},
    {"dds.sec.access.library.finalize", "finalize_access_control"},
};

bool isRegularFile(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

bool isDirectory(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

fs::path enclaveDirectory(const std::string& keystore, const std::string& enclave) {
  fs::path directory = fs::path(keystore) / "enclaves";
  // A name without the leading "/" is taken as relative to the root rather than losing
  // its first letter.
  const std::string relative = enclave.empty() || enclave[0] != '/' ? enclave : enclave.substr(1);
  if (!relative.empty()) directory /= relative;
  std::error_code ec;
  const fs::path absolute = fs::absolute(directory, ec);
  return ec ? directory : absolute;
}

[[noreturn]] void refuse(const std::string& enclave, const std::string& why) {
  throw std::runtime_error("ROS 2 security is enforced (ROS_SECURITY_STRATEGY=Enforce) but enclave '" +
                           enclave + "' has no security files: " + why);
}

}  // namespace

Security securityFromEnvironment(const std::string& contextEnclave) {
  Security security;
  if (environment("ROS_SECURITY_ENABLE") != "true") return security;
  const bool enforce = environment("ROS_SECURITY_STRATEGY") == "Enforce";
  const std::string override = environment("ROS_SECURITY_ENCLAVE_OVERRIDE");
  const std::string enclave = override.empty() ? contextEnclave : override;
  const std::string keystore = environment("ROS_SECURITY_KEYSTORE");
  if (keystore.empty()) {
    if (enforce) refuse(enclave, "ROS_SECURITY_KEYSTORE is not set");
    return security;
  }
  const fs::path directory = enclaveDirectory(keystore, enclave);
  if (!isDirectory(directory)) {
    if (enforce) refuse(enclave, "no directory " + directory.string());
    return security;
  }
  std::string missing;
  for (const EnclaveFile& f : kRequired) {
    const fs::path path = directory / f.file;
    if (isRegularFile(path)) {
      security.properties.emplace_back(f.property, "file:" + path.string());
    } else {
      missing += (missing.empty() ? "" : ", ") + std::string(f.file);
    }
  }
  if (!missing.empty()) {
    if (enforce) refuse(enclave, directory.string() + " lacks " + missing);
    security.properties.clear();
    return security;
  }
  const fs::path crl = directory / kOptionalCrl.file;
  if (isRegularFile(crl)) security.properties.emplace_back(kOptionalCrl.property, "file:" + crl.string());
  for (const auto& plugin : kPlugins) security.properties.emplace_back(plugin.first, plugin.second);
  security.enclave = enclave;
  security.directory = directory.string();
  return security;
}

void applySecurity(dds_qos_t* qos, const Security& security) {
  for (const auto& property : security.properties) {
    dds_qset_prop(qos, property.first.c_str(), property.second.c_str());
  }
}

}  // namespace ros2
