#pragma once
// Service server: request reader and reply writer sharing one serviceid. The caller
// drives it: wait for a request, take it, answer it or not.
#include <chrono>
#include <optional>
#include <string>

#include "ros2/node.hpp"
#include "ros2/qos.hpp"
#include "ros2/service.hpp"

namespace ros2 {

// Identifies a taken request; echoed in its reply.
struct RequestId {
  RequestHeader header;
  dds_instance_handle_t writer = 0;  // the client's request writer
};

// One thread at a time may use a server.
template <class Service>
class Server {
 public:
  using Request = typename Service::Request;
  using Response = typename Service::Response;

  struct Received {
    RequestId id;
    Request request;
  };

  // How long sendResponse waits for the client's reply reader to be matched.
  static constexpr std::chrono::milliseconds replyMatchWait{100};

  Server(const Node& node, const std::string& serviceName, const QosProfile& qos = QosProfile{})
      : core_(node, serviceName, qos, Service::requestDescriptor(), Service::responseDescriptor()) {}

  // Ready once a request is waiting (takeRequest then returns it); negative timeout:
  // no limit; Interrupted when the context shuts down.
  RequestWait waitForRequest(std::chrono::nanoseconds timeout) {
    const detail::Deadline deadline(timeout);
    for (;;) {
      if (!core_.contextValid()) return RequestWait::Interrupted;
      if (!next_) next_ = takeValid();
      if (next_) return RequestWait::Ready;
      const RequestWait woke = core_.waitForRequest(deadline);
      if (woke == RequestWait::Interrupted) return woke;
      // Wake-ups can come from samples without data; only a real request counts.
      if (woke == RequestWait::TimedOut) {
        next_ = takeValid();
        return next_ ? RequestWait::Ready : RequestWait::TimedOut;
      }
    }
  }

  // Next request with all its fields, or nothing when none is waiting.
  std::optional<Received> takeRequest() {
    if (!next_) return takeValid();
    std::optional<Received> taken = std::move(next_);
    next_.reset();
    return taken;
  }

  // Sends the reply to `id` once the client's reply reader is matched (at most
  // replyMatchWait). Returns false, sending nothing, when it does not show up.
  bool sendResponse(const RequestId& id, const Response& response) {
    if (!core_.awaitReplyReader(id.writer, replyMatchWait)) return false;
    typename Service::WireResponse wire{};
    Service::toWire(response, wire);
    Service::setHeader(wire, id.header);
    core_.writeReply(&wire);
    return true;
  }

  const std::string& serviceName() const noexcept { return core_.serviceName(); }
  // Request reader, reply writer and a read condition, for callers' own waitsets.
  const detail::ServerCore& endpoints() const noexcept { return core_; }

 private:
  // Samples without data (a client going away) are skipped.
  std::optional<Received> takeValid() {
    for (;;) {
      const detail::LoanedSample sample(core_.requestReader());
      if (!sample.taken()) return std::nullopt;
      if (!sample.valid()) continue;
      const auto& wire = *static_cast<const typename Service::WireRequest*>(sample.data());
      return Received{RequestId{Service::header(wire), sample.info().publication_handle}, Service::fromWire(wire)};
    }
  }

  detail::ServerCore core_;
  std::optional<Received> next_;  // taken by waitForRequest, handed out by takeRequest
};

}  // namespace ros2
