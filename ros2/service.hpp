#pragma once
// Type-independent parts of service clients and servers: topic names, USER_DATA ids,
// endpoint creation, the availability rule and the waits. Client<S> and Server<S>
// (client.hpp, server.hpp) add the typed samples on top.
#include <dds/dds.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ros2/entity.hpp"
#include "ros2/graph.hpp"
#include "ros2/node.hpp"
#include "ros2/qos.hpp"

namespace ros2 {

// Asked by a waiting client at least every 100 ms; true ends the wait as Interrupted.
using StopRequested = std::function<bool()>;

// How a wait for an answer ended.
enum class WaitResult { Answered, TimedOut, Interrupted };
// How a server's wait for a request ended.
enum class RequestWait { Ready, TimedOut, Interrupted };

// The 16 bytes in front of every request and reply.
struct RequestHeader {
  uint64_t clientId = 0;
  int64_t sequenceNumber = 0;
};

struct ServiceTopics {
  std::string request;  // "rq" + absolute service name + "Request"
  std::string reply;    // "rr" + absolute service name + "Reply"
};

// A name without a leading '/' is taken relative to the root namespace. Throws
// std::invalid_argument for names that are empty, use '~', or have empty or
// malformed tokens.
ServiceTopics serviceTopics(const std::string& serviceName);

// Value of `key` in USER_DATA text of the form "key=value;key=value;", if present.
std::optional<std::string> userDataValue(const std::string& userData, const std::string& key);

namespace detail {

// QoS of every service endpoint, client or server: only USER_DATA differs between them.
// Shared with the diagnosis tool, which judges remote endpoints against exactly this.
void fillEndpointQos(dds_qos_t* qos, const QosProfile& profile, const std::string& userData, bool writer);

// Next number of the one process-wide request counter; the first is 1.
int64_t nextSequenceNumber() noexcept;

// Negative timeouts wait forever, as in the client library this mirrors.
class Deadline {
 public:
  explicit Deadline(std::chrono::nanoseconds timeout);
  bool expired() const;
  dds_duration_t remaining() const;

 private:
  bool infinite_;
  std::chrono::steady_clock::time_point end_;
};

// The whole USER_DATA text of a matched remote or local endpoint (empty when it has
// none), or nothing when the endpoint is no longer matched.
std::optional<std::string> matchedUserData(dds_entity_t localEndpoint, dds_instance_handle_t remote,
                                           bool remoteIsWriter);

// Takes one sample on loan and returns the loan when it goes out of scope.
class LoanedSample {
 public:
  explicit LoanedSample(dds_entity_t reader);
  ~LoanedSample();
  LoanedSample(const LoanedSample&) = delete;
  LoanedSample& operator=(const LoanedSample&) = delete;
  bool taken() const noexcept { return count_ > 0; }
  bool valid() const noexcept { return count_ > 0 && info_.valid_data; }
  const void* data() const noexcept { return sample_; }
  const dds_sample_info_t& info() const noexcept { return info_; }

 private:
  dds_entity_t reader_;
  void* sample_ = nullptr;
  dds_sample_info_t info_{};
  dds_return_t count_ = 0;
};

class ClientCore {
 public:
  ClientCore(const Node& node, const std::string& serviceName, const QosProfile& qos,
             const dds_topic_descriptor_t* requestType, const dds_topic_descriptor_t* replyType);
  ClientCore(const ClientCore&) = delete;
  ClientCore& operator=(const ClientCore&) = delete;

  bool serviceIsReady() const;
  bool waitForService(std::chrono::nanoseconds timeout, const StopRequested& stop = {});
  void writeRequest(const void* sample);
  // Ready when a reply may be waiting; Interrupted when the context was shut down meanwhile
  // or `stop` asked to end the wait.
  RequestWait waitForReply(const Deadline& deadline, const StopRequested& stop = {});
  bool contextValid() const noexcept { return state_->valid(); }

  uint64_t clientId() const noexcept { return clientId_; }
  const std::string& endpointId() const noexcept { return endpointId_; }
  const std::string& serviceName() const noexcept { return serviceName_; }
  dds_entity_t requestWriter() const noexcept { return requestWriter_.get(); }
  dds_entity_t replyReader() const noexcept { return replyReader_.get(); }

 private:
  std::shared_ptr<ContextState> state_;
  std::string serviceName_;
  std::string endpointId_;
  // Declaration order is creation order; members are deleted in reverse.
  Entity requestTopic_;
  Entity replyTopic_;
  Entity requestWriter_;
  Entity replyReader_;
  Entity replyCondition_;
  Entity replyWaitset_;
  Entity matchWaitset_;
  uint64_t clientId_ = 0;
  // Last member: the graph forgets the endpoints before they are deleted.
  GraphEndpoints graphEntry_;
};

class ServerCore {
 public:
  ServerCore(const Node& node, const std::string& serviceName, const QosProfile& qos,
             const dds_topic_descriptor_t* requestType, const dds_topic_descriptor_t* replyType);
  ServerCore(const ServerCore&) = delete;
  ServerCore& operator=(const ServerCore&) = delete;

  RequestWait waitForRequest(const Deadline& deadline);
  // Waits at most `maxWait` for a reply reader carrying the clientid of the request's
  // writer. False when there is none (the client is gone or not ready for replies).
  bool awaitReplyReader(dds_instance_handle_t requestWriter, std::chrono::nanoseconds maxWait);
  void writeReply(const void* sample);
  bool contextValid() const noexcept { return state_->valid(); }

  const std::string& endpointId() const noexcept { return endpointId_; }
  const std::string& serviceName() const noexcept { return serviceName_; }
  dds_entity_t requestReader() const noexcept { return requestReader_.get(); }
  dds_entity_t replyWriter() const noexcept { return replyWriter_.get(); }
  // Read condition on the request reader (any sample state), for callers' own waitsets.
  dds_entity_t requestCondition() const noexcept { return requestCondition_.get(); }

 private:
  std::shared_ptr<ContextState> state_;
  std::string serviceName_;
  std::string endpointId_;
  const dds_topic_descriptor_t* replyType_;
  Entity requestTopic_;
  Entity replyTopic_;
  Entity requestReader_;
  Entity replyWriter_;
  Entity requestCondition_;
  Entity requestWaitset_;
  Entity matchWaitset_;
  GraphEndpoints graphEntry_;  // last, as in ClientCore
};

}  // namespace detail
}  // namespace ros2
