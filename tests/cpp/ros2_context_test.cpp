// The process-wide context: ROS_DOMAIN_ID parsing, SIGINT/SIGTERM ending waits early
// while earlier handlers still run, explicit shutdown, and initialising again.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

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

volatile sig_atomic_t g_previousSigint = 0;
volatile sig_atomic_t g_previousSigtermSigno = 0;

void previousSigint(int) { g_previousSigint = g_previousSigint + 1; }
void previousSigterm(int, siginfo_t* info, void*) { g_previousSigtermSigno = info->si_signo; }

double millisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void domainIdParsing() {
  CHECK_EQ(ros2::parseDomainId(nullptr), 0u);
  CHECK_EQ(ros2::parseDomainId(""), 0u);
  CHECK_EQ(ros2::parseDomainId("0"), 0u);
  CHECK_EQ(ros2::parseDomainId("42"), 42u);
  CHECK_EQ(ros2::parseDomainId("0x10"), 16u);
  CHECK_EQ(ros2::parseDomainId("010"), 8u);
  CHECK_EQ(ros2::parseDomainId("12abc"), 12u);
  CHECK_THROWS_MSG(ros2::parseDomainId("abc"), std::runtime_error, "ROS_DOMAIN_ID is not a number: 'abc'");
  CHECK_THROWS_MSG(ros2::parseDomainId("0x"), std::runtime_error, "ROS_DOMAIN_ID is not a number: '0x'");
  CHECK_THROWS_MSG(ros2::parseDomainId("99999999999999999999999"), std::runtime_error,
                   "ROS_DOMAIN_ID is out of range: '99999999999999999999999'");
  CHECK_THROWS_MSG(ros2::parseDomainId("4294967296"), std::runtime_error,
                   "ROS_DOMAIN_ID is out of range: '4294967296'");
  // strtoul would turn these into huge ids, one of them Cyclone's "default domain".
  CHECK_THROWS_MSG(ros2::parseDomainId("-1"), std::runtime_error, "ROS_DOMAIN_ID is out of range: '-1'");
  CHECK_THROWS_MSG(ros2::parseDomainId("4294967295"), std::runtime_error,
                   "ROS_DOMAIN_ID is out of range: '4294967295'");
}

void installPreviousHandlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_handler = previousSigint;
  sigaction(SIGINT, &action, nullptr);
  action.sa_sigaction = previousSigterm;
  action.sa_flags = SA_SIGINFO;
  sigaction(SIGTERM, &action, nullptr);
}

void initialisationErrors() {
  CHECK(!ros2::Context::global().isValid());
  CHECK_THROWS_MSG(ros2::Node("early"), std::runtime_error, "ros2 context is not initialised or was shut down");
  setenv("ROS_DOMAIN_ID", "abc", 1);
  CHECK_THROWS_MSG(ros2::Context::global().init("ros2_context_test"), std::runtime_error,
                   "ROS_DOMAIN_ID is not a number: 'abc'");
  CHECK(!ros2::Context::global().isValid());
}

// One node with a server that never answers and a client that asks it.
struct Pair {
  ros2::Node node{"ros2_context_test"};
  ros2::Server<DynamicParam> server{node, "/ros2_context_test"};
  ros2::Client<DynamicParam> client{node, "/ros2_context_test"};
};

void sigintInterruptsWait() {
  setenv("ROS_DOMAIN_ID", "0x98", 1);  // 152
  auto& context = ros2::Context::global();
  context.init("ros2_context_test");
  CHECK(context.isValid());
  CHECK_EQ(context.domainId(), 152u);
  CHECK_THROWS_MSG(context.init("again"), std::runtime_error, "ros2 context is already initialised");

  Pair pair;
  uint32_t domain = 0;
  CHECK(dds_get_domainid(pair.node.participant(), &domain) == DDS_RETCODE_OK && domain == 152u);
  CHECK(pair.client.waitForService(1s));
  const auto pending = pair.client.asyncSend({});
  std::thread signaller([] {
    std::this_thread::sleep_for(300ms);
    kill(getpid(), SIGINT);
  });
  DynamicParam::Response response;
  const auto start = Clock::now();
  const auto result = pair.client.wait(pending, 5s, response);
  const double waited = millisSince(start);
  signaller.join();
  CHECK(result == ros2::WaitResult::Interrupted);
  CHECK(waited >= 250.0 && waited < 2000.0);
  CHECK_EQ(g_previousSigint, 1);
  CHECK(!context.isValid());

  // Everything that waits now returns at once.
  const auto after = Clock::now();
  CHECK(!pair.client.waitForService(2s));
  CHECK(pair.client.wait(pending, 2s, response) == ros2::WaitResult::Interrupted);
  CHECK(pair.server.waitForRequest(2s) == ros2::RequestWait::Interrupted);
  CHECK(millisSince(after) < 500.0);
  CHECK_THROWS_MSG(ros2::Node("late"), std::runtime_error, "ros2 context is not initialised or was shut down");
}

void reinitialiseAndShutDown() {
  setenv("ROS_DOMAIN_ID", "152", 1);
  auto& context = ros2::Context::global();
  context.init("ros2_context_test");
  CHECK(context.isValid());
  Pair pair;
  CHECK(pair.client.waitForService(1s));

  // A fresh initialisation serves requests again.
  DynamicParam::Response response;
  auto pending = pair.client.asyncSend({});
  CHECK(pair.server.waitForRequest(1s) == ros2::RequestWait::Ready);
  auto received = pair.server.takeRequest();
  CHECK(received.has_value());
  if (received) CHECK(pair.server.sendResponse(received->id, {true, "again"}));
  CHECK(pair.client.wait(pending, 1s, response) == ros2::WaitResult::Answered);
  CHECK_EQ(response.message, "again");

  // shutdown() from another thread ends the wait in progress.
  pending = pair.client.asyncSend({});
  std::thread stopper([&context] {
    std::this_thread::sleep_for(200ms);
    context.shutdown();
  });
  const auto start = Clock::now();
  CHECK(pair.client.wait(pending, 5s, response) == ros2::WaitResult::Interrupted);
  CHECK(millisSince(start) < 2000.0);
  stopper.join();
  CHECK(!context.isValid());
}

void sigtermInterruptsServerWait() {
  auto& context = ros2::Context::global();
  context.init("ros2_context_test");
  Pair pair;
  std::thread signaller([] {
    std::this_thread::sleep_for(200ms);
    kill(getpid(), SIGTERM);
  });
  const auto start = Clock::now();
  CHECK(pair.server.waitForRequest(5s) == ros2::RequestWait::Interrupted);
  CHECK(millisSince(start) < 2000.0);
  signaller.join();
  CHECK_EQ(g_previousSigtermSigno, SIGTERM);
  CHECK_EQ(g_previousSigint, 1);
  CHECK(!context.isValid());
}

}  // namespace

int main() {
  domainIdParsing();
  installPreviousHandlers();
  initialisationErrors();
  sigintInterruptsWait();
  reinitialiseAndShutDown();
  sigtermInterruptsServerWait();
  return check::finish("ros2_context_test");
}
