// The process-wide context: ROS_DOMAIN_ID parsing, SIGINT/SIGTERM ending waits early
// while earlier handlers still run, explicit shutdown, and initialising again.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

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

// The handlers a host program had before the context's own, which must keep running.
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

template <class F>
std::string runtimeErrorOf(F&& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no runtime_error>";
}

// A test name from a parameter's text: letters and digits kept, the rest replaced.
std::string nameOf(size_t index, const char* text) {
  std::string name = "case" + std::to_string(index) + "_";
  if (text == nullptr) return name + "null";
  for (const char* c = text; *c != '\0'; ++c)
    name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
  return name;
}

struct ParsedId {
  const char* text;
  uint32_t id;
};

class DomainIdAccepted : public ::testing::TestWithParam<ParsedId> {};

TEST_P(DomainIdAccepted, ReadsLikeStrtoul) {
  EXPECT_EQ(ros2::parseDomainId(GetParam().text), GetParam().id);
}

INSTANTIATE_TEST_SUITE_P(Texts, DomainIdAccepted,
                         ::testing::Values(ParsedId{nullptr, 0}, ParsedId{"", 0}, ParsedId{"0", 0},
                                           ParsedId{"42", 42}, ParsedId{"0x10", 16},
                                           ParsedId{"010", 8}, ParsedId{"12abc", 12}),
                         [](const ::testing::TestParamInfo<ParsedId>& info) {
                           return nameOf(info.index, info.param.text);
                         });

struct RefusedId {
  const char* text;
  const char* message;
};

class DomainIdRefused : public ::testing::TestWithParam<RefusedId> {};

TEST_P(DomainIdRefused, NamesTheText) {
  EXPECT_EQ(runtimeErrorOf([] { ros2::parseDomainId(GetParam().text); }), GetParam().message);
}

// strtoul would turn "-1" and "4294967295" into huge ids, one of them the library's
// "default domain".
INSTANTIATE_TEST_SUITE_P(
    Texts, DomainIdRefused,
    ::testing::Values(RefusedId{"abc", "ROS_DOMAIN_ID is not a number: 'abc'"},
                      RefusedId{"0x", "ROS_DOMAIN_ID is not a number: '0x'"},
                      RefusedId{"99999999999999999999999",
                                "ROS_DOMAIN_ID is out of range: '99999999999999999999999'"},
                      RefusedId{"4294967296", "ROS_DOMAIN_ID is out of range: '4294967296'"},
                      RefusedId{"-1", "ROS_DOMAIN_ID is out of range: '-1'"},
                      RefusedId{"4294967295", "ROS_DOMAIN_ID is out of range: '4294967295'"}),
    [](const ::testing::TestParamInfo<RefusedId>& info) {
      return nameOf(info.index, info.param.text);
    });

// Every test below leaves the context shut down, so they hold in one process as in many.
TEST(Context, RefusesUseBeforeAndBadDomainAtInit) {
  ASSERT_FALSE(ros2::Context::global().isValid());
  EXPECT_EQ(runtimeErrorOf([] { ros2::Node("early"); }),
            "ros2 context is not initialised or was shut down");
  setenv("ROS_DOMAIN_ID", "abc", 1);
  EXPECT_EQ(runtimeErrorOf([] { ros2::Context::global().init("ros2_context_test"); }),
            "ROS_DOMAIN_ID is not a number: 'abc'");
  EXPECT_FALSE(ros2::Context::global().isValid());
}

// One node with a server that never answers and a client that asks it.
struct Pair {
  ros2::Node node{"ros2_context_test"};
  ros2::Server<DynamicParam> server{node, "/ros2_context_test"};
  ros2::Client<DynamicParam> client{node, "/ros2_context_test"};
};

TEST(Context, SigintInterruptsWaitAndRunsThePreviousHandler) {
  setenv("ROS_DOMAIN_ID", "0x98", 1);  // 152
  auto& context = ros2::Context::global();
  context.init("ros2_context_test");
  ASSERT_TRUE(context.isValid());
  EXPECT_EQ(context.domainId(), 152u);
  EXPECT_EQ(runtimeErrorOf([&] { context.init("again"); }), "ros2 context is already initialised");

  Pair pair;
  uint32_t domain = 0;
  EXPECT_EQ(dds_get_domainid(pair.node.participant(), &domain), DDS_RETCODE_OK);
  EXPECT_EQ(domain, 152u);
  ASSERT_TRUE(pair.client.waitForService(1s));
  const auto pending = pair.client.asyncSend({});
  const int sigintsBefore = g_previousSigint;
  std::thread signaller([] {
    std::this_thread::sleep_for(300ms);
    kill(getpid(), SIGINT);
  });
  DynamicParam::Response response;
  const auto start = Clock::now();
  const auto result = pair.client.wait(pending, 5s, response);
  const double waited = millisSince(start);
  signaller.join();
  EXPECT_EQ(result, ros2::WaitResult::Interrupted);
  EXPECT_GE(waited, 250.0);
  EXPECT_LT(waited, 2000.0);
  EXPECT_EQ(g_previousSigint, sigintsBefore + 1);
  EXPECT_FALSE(context.isValid());

  // Everything that waits now returns at once.
  const auto after = Clock::now();
  EXPECT_FALSE(pair.client.waitForService(2s));
  EXPECT_EQ(pair.client.wait(pending, 2s, response), ros2::WaitResult::Interrupted);
  EXPECT_EQ(pair.server.waitForRequest(2s), ros2::RequestWait::Interrupted);
  EXPECT_LT(millisSince(after), 500.0);
  EXPECT_EQ(runtimeErrorOf([] { ros2::Node("late"); }),
            "ros2 context is not initialised or was shut down");
}

TEST(Context, ReinitialisesAndShutdownEndsAWait) {
  setenv("ROS_DOMAIN_ID", "152", 1);
  auto& context = ros2::Context::global();
  context.init("ros2_context_test");
  ASSERT_TRUE(context.isValid());
  Pair pair;
  ASSERT_TRUE(pair.client.waitForService(1s));

  // A fresh initialisation serves requests.
  DynamicParam::Response response;
  auto pending = pair.client.asyncSend({});
  ASSERT_EQ(pair.server.waitForRequest(1s), ros2::RequestWait::Ready);
  auto received = pair.server.takeRequest();
  ASSERT_TRUE(received.has_value());
  EXPECT_TRUE(pair.server.sendResponse(received->id, {true, "again"}));
  EXPECT_EQ(pair.client.wait(pending, 1s, response), ros2::WaitResult::Answered);
  EXPECT_EQ(response.message, "again");

  // shutdown() from another thread ends the wait in progress.
  pending = pair.client.asyncSend({});
  std::thread stopper([&context] {
    std::this_thread::sleep_for(200ms);
    context.shutdown();
  });
  const auto start = Clock::now();
  EXPECT_EQ(pair.client.wait(pending, 5s, response), ros2::WaitResult::Interrupted);
  EXPECT_LT(millisSince(start), 2000.0);
  stopper.join();
  EXPECT_FALSE(context.isValid());
}

TEST(Context, SigtermInterruptsServerWaitAndRunsOnlyItsPreviousHandler) {
  setenv("ROS_DOMAIN_ID", "152", 1);
  auto& context = ros2::Context::global();
  context.init("ros2_context_test");
  Pair pair;
  const int sigintsBefore = g_previousSigint;
  g_previousSigtermSigno = 0;
  std::thread signaller([] {
    std::this_thread::sleep_for(200ms);
    kill(getpid(), SIGTERM);
  });
  const auto start = Clock::now();
  EXPECT_EQ(pair.server.waitForRequest(5s), ros2::RequestWait::Interrupted);
  EXPECT_LT(millisSince(start), 2000.0);
  signaller.join();
  EXPECT_EQ(g_previousSigtermSigno, SIGTERM);
  EXPECT_EQ(g_previousSigint, sigintsBefore);
  EXPECT_FALSE(context.isValid());
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything can initialise the context, so that its handlers chain to these.
  installPreviousHandlers();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
