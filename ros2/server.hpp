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

  // Ready when a request may be waiting (take it with takeRequest); negative timeout:
  // no limit; Interrupted when the context shuts down.
  RequestWait waitForRequest(std::chrono::nanoseconds timeout) {
    return core_.waitForRequest(detail::Deadline(timeout));
  }

  // Next request with all its fields, or nothing when none is waiting. Samples without
  // data (a client going away) are skipped.
  std::optional<Received> takeRequest() {
    for (;;) {
      const detail::LoanedSample sample(core_.requestReader());
      if (!sample.taken()) return std::nullopt;
      if (!sample.valid()) continue;
      const auto& wire = *static_cast<const typename Service::WireRequest*>(sample.data());
      return Received{RequestId{Service::header(wire), sample.info().publication_handle}, Service::fromWire(wire)};
    }
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
  detail::ServerCore core_;
};

}  // namespace ros2
