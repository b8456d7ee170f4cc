#pragma once
// Service client: request writer and reply reader sharing one clientid, the wait for
// a server, asynchronous send and a bounded wait for the answer.
#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "ros2/node.hpp"
#include "ros2/qos.hpp"
#include "ros2/service.hpp"

namespace ros2 {

struct PendingRequest {
  int64_t sequenceNumber = 0;
};

// Service: a service type such as core::srv::DynamicParam (see dynamic_param_service.hpp).
// One thread at a time may use a client; the pending requests are not locked.
template <class Service>
class Client {
 public:
  using Request = typename Service::Request;
  using Response = typename Service::Response;

  Client(const Node& node, const std::string& serviceName, const QosProfile& qos = QosProfile{})
      : core_(node, serviceName, qos, Service::requestDescriptor(), Service::responseDescriptor()) {}

  // True as soon as a server is matched both ways; false after `timeout` (negative:
  // no limit), when the context shuts down, or when `stop` asks to end the wait.
  bool waitForService(std::chrono::nanoseconds timeout, const StopRequested& stop = {}) {
    return core_.waitForService(timeout, stop);
  }
  bool serviceIsReady() const { return core_.serviceIsReady(); }

  // Writes the request with the next process-wide sequence number. Throws
  // std::runtime_error("failed to send request: ...") when DDS refuses it.
  PendingRequest asyncSend(const Request& request) {
    typename Service::WireRequest wire{};
    Service::toWire(request, wire);
    const PendingRequest pending{detail::nextSequenceNumber()};
    Service::setHeader(wire, RequestHeader{core_.clientId(), pending.sequenceNumber});
    core_.writeRequest(&wire);
    pending_.insert(pending.sequenceNumber);
    return pending;
  }

  // Waits for the answer to `pending` (negative timeout: no limit). A shut-down
  // context, or `stop` asking to end the wait, ends it as Interrupted. After TimedOut or
  // Interrupted the request stays pending: a later wait may still collect its answer, or
  // forget() drops it.
  WaitResult wait(const PendingRequest& pending, std::chrono::nanoseconds timeout, Response& response,
                  const StopRequested& stop = {}) {
    const detail::Deadline deadline(timeout);
    for (;;) {
      if (collect(pending.sequenceNumber, response)) return WaitResult::Answered;
      if (!core_.contextValid()) return WaitResult::Interrupted;
      if (takeReplies(pending.sequenceNumber)) continue;
      if (deadline.expired()) return WaitResult::TimedOut;
      if (core_.waitForReply(deadline, stop) == RequestWait::Interrupted) return WaitResult::Interrupted;
    }
  }

  void forget(const PendingRequest& pending) {
    pending_.erase(pending.sequenceNumber);
    answers_.erase(pending.sequenceNumber);
  }
  size_t pendingCount() const noexcept { return pending_.size(); }

  uint64_t clientId() const noexcept { return core_.clientId(); }
  const std::string& serviceName() const noexcept { return core_.serviceName(); }
  const detail::ClientCore& endpoints() const noexcept { return core_; }

 private:
  bool collect(int64_t sequenceNumber, Response& response) {
    const auto it = answers_.find(sequenceNumber);
    if (it == answers_.end()) return false;
    response = std::move(it->second);
    answers_.erase(it);
    pending_.erase(sequenceNumber);
    return true;
  }

  // Takes replies one by one until the wanted one arrives or none is left; keeps
  // answers to our other pending requests and drops everything else.
  bool takeReplies(int64_t wanted) {
    for (;;) {
      const detail::LoanedSample sample(core_.replyReader());
      if (!sample.taken()) return false;
      if (!sample.valid()) continue;
      const auto& wire = *static_cast<const typename Service::WireResponse*>(sample.data());
      const RequestHeader header = Service::header(wire);
      if (header.clientId != core_.clientId() || pending_.count(header.sequenceNumber) == 0) continue;
      answers_[header.sequenceNumber] = Service::fromWire(wire);
      if (header.sequenceNumber == wanted) return true;
    }
  }

  detail::ClientCore core_;
  std::set<int64_t> pending_;
  std::map<int64_t, Response> answers_;
};

}  // namespace ros2
