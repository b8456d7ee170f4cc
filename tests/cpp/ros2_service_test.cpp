// Service client and server of the ROS 2 layer: availability across processes
// (absent, appearing, disappearing), answers reaching only the client that asked,
// late answers after a time-out, and replies to clients that went away.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "ros2/client.hpp"
#include "ros2/context.hpp"
#include "ros2/dynamic_param_service.hpp"
#include "ros2/node.hpp"
#include "ros2/server.hpp"

using core::srv::DynamicParam;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

const char* const kLocalService = "/ros2_service_test_local";

double millisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

DynamicParam::Request tagged(int32_t tag) {
  DynamicParam::Request request;
  request.field_22 = tag;
  return request;
}

// The peer process: serves the service on command ('s' start, 'x' stop, 'q' quit),
// answering each request with its field_22 as the message.
int runPeer(int commands) {
  setenv("ROS_DOMAIN_ID", "151", 1);
  ros2::Context::global().init("ros2_service_test_peer");
  ros2::Node node("ros2_service_test_peer");
  std::unique_ptr<ros2::Server<DynamicParam>> server;
  for (;;) {
    pollfd fd{commands, POLLIN, 0};
    if (poll(&fd, 1, server ? 0 : -1) > 0) {
      char command = 'q';
      if (read(commands, &command, 1) != 1 || command == 'q') return 0;
      if (command == 's') server = std::make_unique<ros2::Server<DynamicParam>>(node, DynamicParam::serviceName);
      if (command == 'x') server.reset();
    }
    if (server && server->waitForRequest(20ms) == ros2::RequestWait::Ready) {
      while (auto received = server->takeRequest()) {
        server->sendResponse(received->id, {true, std::to_string(received->request.field_22)});
      }
    }
  }
}

void command(int fd, char c) { CHECK_EQ(write(fd, &c, 1), 1); }

void availabilityAcrossProcesses(int peer) {
  ros2::Node node("ros2_service_test");
  ros2::Client<DynamicParam> client(node, DynamicParam::serviceName);

  auto start = Clock::now();
  CHECK(!client.waitForService(300ms));
  const double waited = millisSince(start);
  CHECK(waited >= 299.0 && waited < 1000.0);

  command(peer, 's');
  start = Clock::now();
  CHECK(client.waitForService(3s));
  const double found = millisSince(start);
  std::printf("service found %.1f ms after the peer was told to serve\n", found);
  CHECK(found < 2000.0);

  // The client blocks in wait() while the other process answers.
  DynamicParam::Response response;
  const auto pending = client.asyncSend(tagged(42));
  CHECK(client.wait(pending, 3s, response) == ros2::WaitResult::Answered);
  CHECK(response.success);
  CHECK_EQ(response.message, "42");

  command(peer, 'x');
  start = Clock::now();
  while (client.serviceIsReady() && millisSince(start) < 3000.0) std::this_thread::sleep_for(5ms);
  CHECK(!client.serviceIsReady());
  CHECK(!client.waitForService(50ms));

  // And back again, for a client created while nothing serves.
  ros2::Client<DynamicParam> later(node, DynamicParam::serviceName);
  command(peer, 's');
  CHECK(later.waitForService(3s));
}

struct Local {
  ros2::Node node{"ros2_service_test_local"};
  ros2::Server<DynamicParam> server{node, kLocalService};

  std::vector<ros2::Server<DynamicParam>::Received> take(size_t count) {
    std::vector<ros2::Server<DynamicParam>::Received> taken;
    const auto start = Clock::now();
    while (taken.size() < count && millisSince(start) < 2000.0) {
      if (server.waitForRequest(100ms) != ros2::RequestWait::Ready) continue;
      while (auto received = server.takeRequest()) taken.push_back(std::move(*received));
    }
    CHECK_EQ(taken.size(), count);
    return taken;
  }
  void answer(const ros2::Server<DynamicParam>::Received& received, bool success = true) {
    CHECK(server.sendResponse(received.id, {success, std::to_string(received.request.field_22)}));
  }
};

void answersReachOnlyTheirClient(Local& local) {
  ros2::Client<DynamicParam> a(local.node, kLocalService);
  ros2::Client<DynamicParam> b(local.node, kLocalService);
  CHECK(a.waitForService(1s) && b.waitForService(1s));
  CHECK(a.clientId() != b.clientId());
  const auto fromA = a.asyncSend(tagged(1));
  const auto fromB = b.asyncSend(tagged(2));
  CHECK(fromB.sequenceNumber > fromA.sequenceNumber);  // one counter for the process
  auto taken = local.take(2);
  if (taken.size() != 2) return;
  // Answer B first: A's reader sees B's reply too and must pass over it.
  local.answer(taken[1]);
  local.answer(taken[0]);
  DynamicParam::Response response;
  CHECK(a.wait(fromA, 1s, response) == ros2::WaitResult::Answered);
  CHECK_EQ(response.message, "1");
  CHECK(b.wait(fromB, 1s, response) == ros2::WaitResult::Answered);
  CHECK_EQ(response.message, "2");
  CHECK_EQ(a.pendingCount(), 0u);
  CHECK_EQ(b.pendingCount(), 0u);
}

void lateAnswersDoNotConfuseLaterRequests(Local& local) {
  ros2::Client<DynamicParam> client(local.node, kLocalService);
  CHECK(client.waitForService(1s));
  DynamicParam::Response response;

  const auto first = client.asyncSend(tagged(10));
  auto held = local.take(1);
  auto start = Clock::now();
  CHECK(client.wait(first, 200ms, response) == ros2::WaitResult::TimedOut);
  CHECK(millisSince(start) >= 199.0);

  const auto second = client.asyncSend(tagged(20));
  auto next = local.take(1);
  if (held.empty() || next.empty()) return;
  local.answer(held[0], false);  // the late answer comes first
  local.answer(next[0]);
  CHECK(client.wait(second, 1s, response) == ros2::WaitResult::Answered);
  CHECK(response.success);
  CHECK_EQ(response.message, "20");
  // The late answer was kept for the request it belongs to.
  CHECK(client.wait(first, 0ms, response) == ros2::WaitResult::Answered);
  CHECK(!response.success);
  CHECK_EQ(response.message, "10");

  // A forgotten request's answer is dropped, not handed to the next one.
  const auto third = client.asyncSend(tagged(30));
  held = local.take(1);
  CHECK(client.wait(third, 50ms, response) == ros2::WaitResult::TimedOut);
  client.forget(third);
  const auto fourth = client.asyncSend(tagged(40));
  next = local.take(1);
  if (held.empty() || next.empty()) return;
  local.answer(held[0]);
  local.answer(next[0]);
  CHECK(client.wait(fourth, 1s, response) == ros2::WaitResult::Answered);
  CHECK_EQ(response.message, "40");
  CHECK_EQ(client.pendingCount(), 0u);
}

void repliesToVanishedClientsAreDropped(Local& local) {
  std::optional<ros2::Client<DynamicParam>> client;
  client.emplace(local.node, kLocalService);
  CHECK(client->waitForService(1s));
  client->asyncSend(tagged(5));
  auto taken = local.take(1);
  client.reset();
  if (taken.empty()) return;
  const auto start = Clock::now();
  CHECK(!local.server.sendResponse(taken[0].id, {true, "nobody listens"}));
  CHECK(millisSince(start) < 500.0);

  // Nothing waiting: the server's wait runs to its time-out.
  const auto waitStart = Clock::now();
  CHECK(local.server.waitForRequest(100ms) == ros2::RequestWait::TimedOut);
  CHECK(millisSince(waitStart) >= 99.0);
}

}  // namespace

int main() {
  // Fork before any DDS thread exists; the child is the other process on the wire.
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return 2;
  const pid_t child = fork();
  if (child < 0) return 2;
  if (child == 0) {
    close(pipeFds[1]);
    _exit(runPeer(pipeFds[0]));
  }
  close(pipeFds[0]);

  setenv("ROS_DOMAIN_ID", "151", 1);
  ros2::Context::global().init("ros2_service_test");
  availabilityAcrossProcesses(pipeFds[1]);
  command(pipeFds[1], 'q');
  close(pipeFds[1]);
  int status = 0;
  waitpid(child, &status, 0);
  CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  Local local;
  answersReachOnlyTheirClient(local);
  lateAnswersDoNotConfuseLaterRequests(local);
  repliesToVanishedClientsAreDropped(local);
  return check::finish("ros2_service_test");
}
