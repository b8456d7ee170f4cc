#pragma once
// Process-wide ROS 2 context: the domain taken from ROS_DOMAIN_ID, the one DDS
// participant shared by every node, and shutdown by SIGINT/SIGTERM waking any wait.
#include <dds/dds.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "ros2/graph.hpp"
#include "ros2/security.hpp"

namespace ros2 {

// Parses a ROS_DOMAIN_ID value like strtoul with base 0: nullptr or "" -> 0,
// "0x10" -> 16, "010" -> 8, "12abc" -> 12. Throws std::runtime_error for text that
// parses to 0 with text left over ("abc"), for negative values and for values that
// do not fit a DDS domain id.
uint32_t parseDomainId(const char* text);

namespace detail {

// One initialisation of the context. Nodes and endpoints hold it, so the participant
// outlives a shutdown until the last of them is gone; a later init makes a new one.
class ContextState {
 public:
  ContextState(uint64_t generation, uint32_t domainId, std::string programName, Security security);
  ~ContextState();
  ContextState(const ContextState&) = delete;
  ContextState& operator=(const ContextState&) = delete;

  uint64_t generation() const noexcept { return generation_; }
  uint32_t domainId() const noexcept { return domainId_; }
  const std::string& programName() const noexcept { return programName_; }
  bool valid() const noexcept;
  const Security& security() const noexcept { return security_; }

  // Created on first use, with USER_DATA "enclave=/;", the security properties of the
  // initialisation (if any) and its graph writer and reader.
  // Throws on DDS failure.
  dds_entity_t participant();
  // The participant's ROS 2 graph (creating the participant if needed).
  Graph& graph();
  // Guard condition on the participant, triggered for good once the state is shut down.
  dds_entity_t shutdownCondition();
  // Text unique within the process for clientid/serviceid USER_DATA.
  std::string nextEndpointId();
  // Wakes waits; validity itself is cleared by Context.
  void wake() noexcept;

 private:
  void ensureParticipantLocked();

  const uint64_t generation_;
  const uint32_t domainId_;
  const std::string programName_;
  const Security security_;  // applied to the participant when it is created
  std::mutex mutex_;
  dds_entity_t participant_ = 0;
  dds_entity_t shutdownCondition_ = 0;
  std::unique_ptr<Graph> graph_;  // entities inside the participant: released before it
  std::string guidPrefixHex_;
  uint64_t endpointCounter_ = 0;
  bool woken_ = false;
};

}  // namespace detail

class Context {
 public:
  static Context& global();

  // Reads ROS_DOMAIN_ID and the ROS 2 security switches (security.hpp), installs the
  // SIGINT/SIGTERM handlers (once per process) and makes the context valid. Throws
  // std::runtime_error when already valid, when ROS_DOMAIN_ID is malformed, or when
  // security is enforced and the enclave's files are missing. A context that was shut
  // down may be initialised again.
  void init(const std::string& programName);
  bool isValid() const noexcept;
  // Marks the context invalid and wakes every wait in progress. Safe to repeat.
  void shutdown() noexcept;
  // Domain of the latest initialisation (0 before any).
  uint32_t domainId() const;
  // State of the current initialisation; throws std::runtime_error when not valid.
  std::shared_ptr<detail::ContextState> state() const;

  // Used by the signal watcher: wakes the waits of the given initialisation.
  void wakeGeneration(uint64_t generation) noexcept;

 private:
  Context() = default;

  mutable std::mutex mutex_;
  std::shared_ptr<detail::ContextState> current_;
  // Earlier initialisations still in use, so a late signal can still wake their waits.
  std::map<uint64_t, std::weak_ptr<detail::ContextState>> all_;
  uint64_t lastGeneration_ = 0;
};

}  // namespace ros2
