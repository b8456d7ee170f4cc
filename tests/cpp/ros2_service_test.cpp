// Service client and server of the ROS 2 layer: availability across processes
// (absent, appearing, disappearing), answers reaching only the client that asked,
// late answers after a time-out, and replies to clients that went away.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

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
const char* const kPeerFlag = "--service-peer";

double millisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

DynamicParam::Request tagged(int32_t tag) {
  DynamicParam::Request request;
  request.field_22 = tag;
  return request;
}

void ensureContext() {
  setenv("ROS_DOMAIN_ID", "151", 1);
  if (!ros2::Context::global().isValid()) ros2::Context::global().init("ros2_service_test");
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
      if (command == 's')
        server = std::make_unique<ros2::Server<DynamicParam>>(node, DynamicParam::serviceName);
      if (command == 'x') server.reset();
    }
    if (server && server->waitForRequest(20ms) == ros2::RequestWait::Ready) {
      while (auto received = server->takeRequest()) {
        server->sendResponse(received->id, {true, std::to_string(received->request.field_22)});
      }
    }
  }
}

// The other process on the wire: this program started afresh in peer mode, since a forked
// copy of a process with DDS threads running must not go on to use DDS.
class Peer {
 public:
  Peer() {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    const std::string fd = std::to_string(fds[0]);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      close(fds[1]);
      execl("/proc/self/exe", "ros2_service_test", kPeerFlag, fd.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[0]);
    commands_ = fds[1];
  }
  ~Peer() {
    if (commands_ >= 0) finish();
  }
  void send(char c) { EXPECT_EQ(write(commands_, &c, 1), 1) << "command " << c; }
  int finish() {
    send('q');
    close(commands_);
    commands_ = -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    return status;
  }

 private:
  pid_t pid_ = -1;
  int commands_ = -1;
};

TEST(Service, AvailabilityAcrossProcesses) {
  ensureContext();
  Peer peer;
  ros2::Node node("ros2_service_test");
  ros2::Client<DynamicParam> client(node, DynamicParam::serviceName);

  auto start = Clock::now();
  EXPECT_FALSE(client.waitForService(300ms));
  const double waited = millisSince(start);
  EXPECT_GE(waited, 299.0);
  EXPECT_LT(waited, 1000.0);

  peer.send('s');
  start = Clock::now();
  ASSERT_TRUE(client.waitForService(3s));
  const double found = millisSince(start);
  std::printf("service found %.1f ms after the peer was told to serve\n", found);
  EXPECT_LT(found, 2000.0);

  // The client blocks in wait() while the other process answers.
  DynamicParam::Response response;
  const auto pending = client.asyncSend(tagged(42));
  EXPECT_EQ(client.wait(pending, 3s, response), ros2::WaitResult::Answered);
  EXPECT_TRUE(response.success);
  EXPECT_EQ(response.message, "42");

  peer.send('x');
  start = Clock::now();
  while (client.serviceIsReady() && millisSince(start) < 3000.0) std::this_thread::sleep_for(5ms);
  EXPECT_FALSE(client.serviceIsReady());
  EXPECT_FALSE(client.waitForService(50ms));

  // And back again, for a client created while nothing serves.
  ros2::Client<DynamicParam> later(node, DynamicParam::serviceName);
  peer.send('s');
  EXPECT_TRUE(later.waitForService(3s));
  const int status = peer.finish();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "peer status " << status;
}

class Local : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ensureContext(); }

  std::unique_ptr<ros2::Node> node_ = std::make_unique<ros2::Node>("ros2_service_test_local");
  ros2::Server<DynamicParam> server{*node_, kLocalService};

  std::vector<ros2::Server<DynamicParam>::Received> take(size_t count) {
    std::vector<ros2::Server<DynamicParam>::Received> taken;
    const auto start = Clock::now();
    while (taken.size() < count && millisSince(start) < 2000.0) {
      if (server.waitForRequest(100ms) != ros2::RequestWait::Ready) continue;
      while (auto received = server.takeRequest()) taken.push_back(std::move(*received));
    }
    EXPECT_EQ(taken.size(), count);
    return taken;
  }
  void answer(const ros2::Server<DynamicParam>::Received& received, bool success = true) {
    EXPECT_TRUE(
        server.sendResponse(received.id, {success, std::to_string(received.request.field_22)}));
  }
};

TEST_F(Local, AnswersReachOnlyTheirClient) {
  ros2::Client<DynamicParam> a(*node_, kLocalService);
  ros2::Client<DynamicParam> b(*node_, kLocalService);
  ASSERT_TRUE(a.waitForService(1s) && b.waitForService(1s));
  EXPECT_NE(a.clientId(), b.clientId());
  const auto fromA = a.asyncSend(tagged(1));
  const auto fromB = b.asyncSend(tagged(2));
  EXPECT_GT(fromB.sequenceNumber, fromA.sequenceNumber);  // one counter for the process
  auto taken = take(2);
  ASSERT_EQ(taken.size(), 2u);
  // Answer B first: A's reader sees B's reply too and must pass over it.
  answer(taken[1]);
  answer(taken[0]);
  DynamicParam::Response response;
  EXPECT_EQ(a.wait(fromA, 1s, response), ros2::WaitResult::Answered);
  EXPECT_EQ(response.message, "1");
  EXPECT_EQ(b.wait(fromB, 1s, response), ros2::WaitResult::Answered);
  EXPECT_EQ(response.message, "2");
  EXPECT_EQ(a.pendingCount(), 0u);
  EXPECT_EQ(b.pendingCount(), 0u);
}

TEST_F(Local, LateAnswersDoNotConfuseLaterRequests) {
  ros2::Client<DynamicParam> client(*node_, kLocalService);
  ASSERT_TRUE(client.waitForService(1s));
  DynamicParam::Response response;

  const auto first = client.asyncSend(tagged(10));
  auto held = take(1);
  auto start = Clock::now();
  EXPECT_EQ(client.wait(first, 200ms, response), ros2::WaitResult::TimedOut);
  EXPECT_GE(millisSince(start), 199.0);

  const auto second = client.asyncSend(tagged(20));
  auto next = take(1);
  ASSERT_FALSE(held.empty() || next.empty());
  answer(held[0], false);  // the late answer comes first
  answer(next[0]);
  EXPECT_EQ(client.wait(second, 1s, response), ros2::WaitResult::Answered);
  EXPECT_TRUE(response.success);
  EXPECT_EQ(response.message, "20");
  // The late answer was kept for the request it belongs to.
  EXPECT_EQ(client.wait(first, 0ms, response), ros2::WaitResult::Answered);
  EXPECT_FALSE(response.success);
  EXPECT_EQ(response.message, "10");

  // A forgotten request's answer is dropped, not handed to the next one.
  const auto third = client.asyncSend(tagged(30));
  held = take(1);
  EXPECT_EQ(client.wait(third, 50ms, response), ros2::WaitResult::TimedOut);
  client.forget(third);
  const auto fourth = client.asyncSend(tagged(40));
  next = take(1);
  ASSERT_FALSE(held.empty() || next.empty());
  answer(held[0]);
  answer(next[0]);
  EXPECT_EQ(client.wait(fourth, 1s, response), ros2::WaitResult::Answered);
  EXPECT_EQ(response.message, "40");
  EXPECT_EQ(client.pendingCount(), 0u);
}

TEST_F(Local, RepliesToVanishedClientsAreDropped) {
  std::optional<ros2::Client<DynamicParam>> client;
  client.emplace(*node_, kLocalService);
  ASSERT_TRUE(client->waitForService(1s));
  client->asyncSend(tagged(5));
  auto taken = take(1);
  client.reset();
  ASSERT_FALSE(taken.empty());
  const auto start = Clock::now();
  EXPECT_FALSE(server.sendResponse(taken[0].id, {true, "nobody listens"}));
  EXPECT_LT(millisSince(start), 500.0);

  // Nothing waiting: the server's wait runs to its time-out.
  const auto waitStart = Clock::now();
  EXPECT_EQ(server.waitForRequest(100ms), ros2::RequestWait::TimedOut);
  EXPECT_GE(millisSince(waitStart), 99.0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == kPeerFlag) return runPeer(std::atoi(argv[2]));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
