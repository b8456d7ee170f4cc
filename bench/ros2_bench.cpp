// Figures of the ROS 2 layer over loopback: how soon a client sees a server that just
// started, and request round trips, with the server in another process and in this
// one; then ddsperf's own ping-pong for comparison. Asserts nothing.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
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

constexpr int kRoundTrips = 1000;

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Answers every request until `stop` (or the context) says otherwise.
void serve(ros2::Server<DynamicParam>& server, const std::function<bool()>& stop) {
  while (!stop()) {
    const auto woke = server.waitForRequest(50ms);
    if (woke == ros2::RequestWait::Interrupted) return;
    while (auto received = server.takeRequest()) server.sendResponse(received->id, {true, ""});
  }
}

// The server process: on a byte from `go` it reports its start time on `report`,
// creates the server and serves until `go` closes.
int runServerProcess(int go, int report) {
  setenv("ROS_DOMAIN_ID", "170", 1);
  ros2::Context::global().init("ros2_bench_server");
  ros2::Node node("ros2_bench_server");
  char byte = 0;
  if (read(go, &byte, 1) != 1) return 1;
  const int64_t started = nowNs();
  ros2::Server<DynamicParam> server(node, DynamicParam::serviceName);
  if (write(report, &started, sizeof started) != static_cast<ssize_t>(sizeof started)) return 1;
  fcntl(go, F_SETFL, O_NONBLOCK);
  serve(server, [go] {
    char b;
    return read(go, &b, 1) == 0;  // EOF: the parent is done
  });
  return 0;
}

DynamicParam::Request configurationRequest() {
  DynamicParam::Request r;
  r.field_1 = {1, 2, 3, 4};
  r.kp = {35.0f, 35.0f, 0.0f, 0.0f};
  r.kd = {0.45f, 0.45f, 0.3f, 0.3f};
  r.field_4 = {36.0f, 36.0f, 17.0f, 17.0f};
  r.field_21 = {1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
  return r;
}

void roundTrips(const char* label, ros2::Client<DynamicParam>& client) {
  const auto request = configurationRequest();
  std::vector<double> micros;
  DynamicParam::Response response;
  int failures = 0;
  for (int i = 0; i < kRoundTrips; ++i) {
    const auto start = Clock::now();
    const auto pending = client.asyncSend(request);
    if (client.wait(pending, 2s, response) != ros2::WaitResult::Answered) {
      ++failures;
      client.forget(pending);
      continue;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(micros.begin(), micros.end());
  if (micros.empty()) {
    std::printf("%s: no answers\n", label);
    return;
  }
  auto at = [&micros](double q) { return micros[static_cast<size_t>(q * static_cast<double>(micros.size() - 1))]; };
  std::printf("%s: %zu round trips, median %.1f us, p90 %.1f us, p99 %.1f us, max %.1f us, %d unanswered\n", label,
              micros.size(), at(0.5), at(0.9), at(0.99), micros.back(), failures);
}

}  // namespace

int main() {
  int go[2];
  int report[2];
  if (pipe(go) != 0 || pipe(report) != 0) return 1;
  const pid_t child = fork();  // before any DDS thread exists
  if (child == 0) {
    close(go[1]);
    close(report[0]);
    _exit(runServerProcess(go[0], report[1]));
  }
  close(go[0]);
  close(report[1]);

  setenv("ROS_DOMAIN_ID", "170", 1);
  ros2::Context::global().init("ros2_bench");
  ros2::Node node("ros2_bench");
  ros2::Client<DynamicParam> client(node, DynamicParam::serviceName);
  std::this_thread::sleep_for(500ms);  // let the two participants discover each other first

  const char byte = 1;
  if (write(go[1], &byte, 1) != 1) return 1;
  const bool found = client.waitForService(10s);
  const int64_t seen = nowNs();
  int64_t started = 0;
  if (read(report[0], &started, sizeof started) != static_cast<ssize_t>(sizeof started)) return 1;
  std::printf("other process: server start to waitForService true: %.3f ms%s\n",
              static_cast<double>(seen - started) / 1e6, found ? "" : " (not found)");
  if (found) roundTrips("other process", client);
  close(go[1]);
  waitpid(child, nullptr, 0);

  {
    ros2::Client<DynamicParam> local(node, "/ros2_bench_local");
    const auto start = Clock::now();
    ros2::Server<DynamicParam> server(node, "/ros2_bench_local");
    const bool localFound = local.waitForService(10s);
    std::printf("same process: server start to waitForService true: %.3f ms%s\n",
                std::chrono::duration<double, std::milli>(Clock::now() - start).count(), localFound ? "" : " (not found)");
    std::atomic<bool> done{false};
    std::thread serving([&server, &done] { serve(server, [&done] { return done.load(); }); });
    roundTrips("same process, server thread", local);
    done = true;
    serving.join();
  }

  if (std::system("command -v ddsperf >/dev/null 2>&1") == 0) {
    std::printf("ddsperf ping-pong over loopback, for comparison (latency in us):\n");
    std::fflush(stdout);
    const int rc = std::system(
        "ddsperf -i 171 -D 4 pong >/dev/null 2>&1 & sleep 0.5; "
        "ddsperf -i 171 -D 2 ping waitset 2>&1 | grep -i -E 'rtt|mean|min' | tail -n 3; wait");
    (void)rc;
  }
  return 0;
}
