// tarvek-sim: the simulated robot controller. See usage() for what it does.

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include <CLI/CLI.hpp>

#include "sim/controller.hpp"
#include "sim/protocol.hpp"

namespace {

constexpr std::size_t kMaxLineBytes = 16u << 20;

const char* const kUsage = R"(Usage: tarvek-sim [OPTIONS]

Simulated robot controller: the DDS peer of the SDK's six topics and the server of the
dynamic parameter service, speaking for a simulated robot with two leg joints and two
wheels (a toy model, or rigid-body physics). It answers every observation request at once, records what it receives, and is driven
by JSON lines on standard input; it reports events as JSON lines on standard output.

Options:
  --domain N            DDS domain id of the six topics (default 1).
  --trace-obs           Also report every observation request received and every
                        observation answered (off by default: it slows the answer path
                        that benchmarks time), and every demo gamepad command published.
  --gamepad none|demo   demo: publish a slowly varying gamepad command on user_command
                        (default none).
  --gamepad-rate HZ     How often the demo gamepad publishes (default 50, at most 100000).
  --service-mode MODE   How /dynamic_param_config is served (default accept):
                          accept        answer success=true, empty message
                          reject        answer success=false with the reject message
                          reject_empty  answer success=false, empty message
                          silent        receive and report requests, never answer
                          off           no service at all
  --reject-message TEXT Message sent in reject mode (default "rejected by the simulated
                        controller").
  --ros-domain N        DDS domain of the ROS 2 service (default: ROS_DOMAIN_ID from the
                        environment, else 0).
  --physics toy|mujoco  The robot behind the topics (default toy):
                          toy     a small model integrated up to each observation;
                                  deterministic and cheap
                          mujoco  a rigid-body simulation of the wheel-legged robot on
                                  bumpy ground, stepped at 1 kHz in real time on a thread
                                  of its own (needs MuJoCo: pip install
                                  'tarvek-sdk[physics]')
  --model PATH          With mujoco: an MJCF model instead of the one shipped with the
                        simulator (four actuators: left leg, right leg, left wheel,
                        right wheel; the body's free joint first).
  --record PATH         With mujoco: write the trajectory (time and joint positions
                        every 20 ms) to PATH; python -m tarvek_sim.render turns it into
                        a video.

Policy testing (see docs/policy-testing.md):
  --lockstep            Simulated time advances only through the protocol: each
                        user_action advances it by one control period, and an
                        observation answers with the state after every action received
                        before it, so a get_obs/do_action loop runs as fast as the two
                        processes allow and the same policy gives the same trajectory.
                        Mode, gains and actions are applied in the order they were
                        written, all of them before the requests of the same wake; a
                        request that arrives while a step runs is answered after it; no
                        action is dropped or merged, however fast actions arrive (they
                        queue and are stepped one by one).
  --control-period S    Simulated seconds per action in lockstep (default 0.005); a whole
                        number of 1 ms physics steps.
  --episodes            Every switch of user mode to on starts an episode: the robot is
                        put back onto its stand in its start pose (and released at once);
                        switching it off reports the episode as an "episode" event.
  --randomize SEED      With --episodes: draw, per episode and from SEED, the body's
                        mass, the ground friction, the motor torque limits and an answer
                        delay; the same seed gives the same draws, episode by episode.
  --mass-range F        Mass factor drawn from [1-F, 1+F] (default 0.15).
  --friction-range F    Friction factor from [1-F, 1+F] (default 0.3).
  --torque-range F      Torque limit factor from [1-F, 1+F] (default 0.1).
  --max-delay S         Answer delay drawn from [0, S] seconds (default 0.002). In real
                        time each answer is written that much later; in lockstep, where
                        waiting costs no simulated time, each action takes effect that
                        much (in whole physics steps) into its control period instead.
  --push-every S        Push the body every S seconds of an episode's simulated time, in
                        a random horizontal direction (drawn from the --randomize seed,
                        or seed 0).
  --push-force N        Force of those pushes in newtons (default 0: no pushes).
  --push-duration S     How long each push lasts (default 0.1).
  --help                Show this text and exit.

Environment:
  CYCLONEDDS_URI        Cyclone DDS configuration. For local use point it at a
                        loopback-only configuration, for example
                        file://<repository>/config/cyclonedds-loopback.xml, so that
                        nothing leaves the machine.
  ROS_SECURITY_ENABLE, ROS_SECURITY_STRATEGY, ROS_SECURITY_KEYSTORE,
  ROS_SECURITY_ENCLAVE_OVERRIDE
                        The service's participant follows them as a ROS 2 process does:
                        with ROS_SECURITY_ENABLE=true it uses the files of the enclave
                        (the override, else "/", which is KEYSTORE/enclaves itself), and
                        with ROS_SECURITY_STRATEGY=Enforce the simulator does not start
                        without them. The six topics take their security from
                        CYCLONEDDS_URI.

Standard input, one JSON object per line (EOF does not stop the simulator):
  {"cmd":"publish_command","values":[8 numbers]}   write one user_command sample
  {"cmd":"service_mode","mode":"accept|reject|reject_empty|silent|off","message":"text"}
  {"cmd":"obs_answer","enabled":true|false}        resume / stop answering requests
  {"cmd":"obs_fixed","fields":{"dof_pos":[..],...}} these members of every answer carry
                                                   exactly these values ([] = empty);
                                                   replaces any earlier obs_fixed
  {"cmd":"obs_model"}                              all members from the model again
  {"cmd":"publish_obs","fields":{...}}             publish one observation now
  {"cmd":"obs_numbered","enabled":true|false}      lin_vel of every observation written is
                                                   [its serial number], counted from 1
  {"cmd":"gamepad","mode":"none|demo","rate":HZ}  rate optional, as --gamepad-rate
  {"cmd":"status"}                                 report matched counts
  {"cmd":"push","force":N,"direction":[x,y,z],"duration":S}
                                                   push the body: N newtons along the
                                                   direction in the body's frame (x ahead,
                                                   y left, z up; default ahead) for S
                                                   seconds (default 0.1); starts with the
                                                   next physics step once off the stand
  {"cmd":"quit"}                                   delete all entities and exit
Every accepted command is acknowledged with {"event":"ok","cmd":NAME} once it took
effect; a refused one gives {"event":"error","message":...}.

Numbers beyond the 32-bit float range (such as 1e39) stand for infinities.

Standard output, one JSON object per line, each with "event" and "t" (CLOCK_MONOTONIC
seconds): ready, matched, sample, published, ok, error, status, service_request,
service_reply, physics, episode, exit. An episode event (with --episodes, when user mode
goes off) carries its index (from 1), sim_time (simulated seconds since its start),
largest_tilt (degrees between the body's up axis and the vertical), fallen (that tilt
reached 30 degrees), pushes (how many) and draws (mass, friction, torque_limit factors,
answer_delay in seconds; all nominal without --randomize). Floats are printed so that they read back as the same
32-bit value; infinities and NaN as the literals Infinity, -Infinity and NaN.

Model: joints 0 and 1 are legs, 2 and 3 wheels. Position targets are tracked with the
received kp and kd, torque = kp (target - q) - kd qdot, zero until gains arrive; with
torque_control the values are applied as torques. Torques are clamped to 36, 36, 17,
17 Nm. height_map holds 25 samples: the body's height above the ground on a 5 x 5 grid
from the body to 0.4 m ahead, 0.4 m across.
  toy:    the legs tilt the body, the wheels drive it; integrated in 1 ms steps up to
          the moment of each observation.
  mujoco: the robot starts held on a stand in its start pose and is released when user
          mode is first switched on; from then on it must be balanced on its wheels. Joint
          torques are computed every physics step from the last gains and action; zero
          outside user mode. Observations carry the latest step's state and never wait
          for one. Every second a "physics" event reports the simulated time and the
          real-time factor (not in lockstep, where the caller sets the pace).

SIGINT and SIGTERM stop the simulator cleanly, as {"cmd":"quit"} does.
)";

struct ParseResult {
  sim::Options options;
  bool help = false;
  std::string error;
};

// ROS_DOMAIN_ID is read the way ROS reads it: strtoul with base 0, trailing text allowed
// unless nothing was parsed.
std::optional<uint32_t> rosDomainFromEnvironment() {
  const char* text = std::getenv("ROS_DOMAIN_ID");
  if (text == nullptr || *text == '\0') return 0u;
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 0);
  if (errno != 0 || value > UINT32_MAX || (value == 0 && *end != '\0')) return std::nullopt;
  return static_cast<uint32_t>(value);
}

ParseResult parseArguments(int argc, char** argv) {
  ParseResult result;
  sim::Options& options = result.options;
  CLI::App app("tarvek-sim");
  // Our own help text (kUsage) documents the protocol too, which CLI11's would not.
  app.set_help_flag();
  // A repeated option: the last one counts.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag("-h,--help", result.help);
  app.add_flag("--trace-obs", options.trace_obs);
  app.add_option("--domain", options.domain)->check(CLI::Range(0, INT32_MAX));
  std::string gamepad = "none";
  app.add_option("--gamepad", gamepad)->check(CLI::IsMember({"none", "demo"}));
  app.add_option("--gamepad-rate", options.gamepad_rate_hz)
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            char* end = nullptr;
            const double rate = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || !(rate > 0.0) || rate > 100000.0) {
              return "needs a number of hertz above 0 and at most 100000";
            }
            return std::string();
          },
          "HZ"));
  std::string service_mode = "accept";
  app.add_option("--service-mode", service_mode)
      ->check(CLI::IsMember({"accept", "reject", "reject_empty", "silent", "off"}));
  app.add_option("--reject-message", options.reject_message);
  int64_t ros_domain = 0;
  CLI::Option* ros_domain_option =
      app.add_option("--ros-domain", ros_domain)->check(CLI::Range(int64_t{0}, int64_t{INT32_MAX}));
  std::string physics = "toy";
  app.add_option("--physics", physics)->check(CLI::IsMember({"toy", "mujoco"}));
  sim::SimulationOptions& simulation = options.simulation;
  CLI::Option* model_option =
      app.add_option("--model", simulation.model_path)->check(CLI::ExistingFile);
  CLI::Option* record_option = app.add_option("--record", simulation.record_path);
  app.add_flag("--lockstep", simulation.lockstep);
  app.add_option("--control-period", simulation.control_period)
      ->check(CLI::Range(0.0001, 10.0));
  app.add_flag("--episodes", simulation.episodes);
  uint64_t seed = 0;
  CLI::Option* seed_option = app.add_option("--randomize", seed);
  sim::RandomizeOptions& randomize = simulation.randomize;
  app.add_option("--mass-range", randomize.mass_range)->check(CLI::Range(0.0, 0.9));
  app.add_option("--friction-range", randomize.friction_range)->check(CLI::Range(0.0, 0.9));
  app.add_option("--torque-range", randomize.torque_limit_range)->check(CLI::Range(0.0, 0.9));
  app.add_option("--max-delay", randomize.max_answer_delay)->check(CLI::Range(0.0, 1.0));
  sim::PushOptions& pushes = simulation.pushes;
  app.add_option("--push-every", pushes.every)->check(CLI::Range(0.001, 3600.0));
  app.add_option("--push-force", pushes.force)->check(CLI::Range(0.0, 1e6));
  app.add_option("--push-duration", pushes.duration)->check(CLI::Range(0.001, 10.0));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help anywhere wins over a mistake elsewhere, as it always has.
    for (int i = 1; i < argc; ++i) {
      if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
        result.help = true;
        return result;
      }
    }
    result.error = e.what();
    return result;
  }
  if (result.help) return result;
  options.gamepad_demo = gamepad == "demo";
  options.service_mode = *sim::serviceModeFromText(service_mode);
  simulation.physics = physics == "mujoco" ? sim::PhysicsKind::mujoco : sim::PhysicsKind::toy;
  if (seed_option->count() > 0) {
    if (!simulation.episodes) {
      result.error = "--randomize draws per episode: it needs --episodes";
      return result;
    }
    randomize.seed = seed;
  }
  if (pushes.force > 0.0 && !(pushes.every > 0.0)) {
    result.error = "--push-force needs --push-every";
    return result;
  }
  if (simulation.physics != sim::PhysicsKind::mujoco &&
      (model_option->count() > 0 || record_option->count() > 0)) {
    result.error = "--model and --record need --physics mujoco";
    return result;
  }
  if (ros_domain_option->count() > 0) {
    options.ros_domain = static_cast<uint32_t>(ros_domain);
  } else {
    const auto domain = rosDomainFromEnvironment();
    if (!domain) {
      result.error = "ROS_DOMAIN_ID is not a valid domain id";
      return result;
    }
    options.ros_domain = *domain;
  }
  return result;
}

// Reads stdin lines and caught signals on one thread and hands both to the main loop.
// Signals arrive through a signalfd, so no handler runs in an arbitrary thread and the main
// loop ends through its normal path, deleting every entity.
class InputThread {
 public:
  InputThread(sim::Inbox& inbox, sim::EventSink& sink, int signal_fd)
      : inbox_(inbox), sink_(sink), signal_fd_(signal_fd), wake_fd_(eventfd(0, EFD_CLOEXEC)) {
    thread_ = std::thread([this] { loop(); });
  }
  ~InputThread() {
    const uint64_t one = 1;
    if (wake_fd_ >= 0) (void)!write(wake_fd_, &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    if (wake_fd_ >= 0) close(wake_fd_);
  }
  InputThread(const InputThread&) = delete;
  InputThread& operator=(const InputThread&) = delete;

 private:
  void loop() {
    pollfd fds[3] = {{STDIN_FILENO, POLLIN, 0}, {signal_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    for (;;) {
      const int n = poll(fds, 3, -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        sink_.error(std::string("poll: ") + std::strerror(errno));
        return;
      }
      if (fds[2].revents != 0) return;
      if (fds[1].revents & POLLIN) readSignal();
      // EOF or a closed descriptor: stop reading stdin but keep running (stdin may be
      // /dev/null while a test drives the simulator only through DDS and signals).
      if (fds[0].revents != 0 && !readInput()) fds[0].fd = -1;
    }
  }

  void readSignal() {
    signalfd_siginfo info{};
    if (read(signal_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      inbox_.pushSignal(static_cast<int>(info.ssi_signo));
    }
  }

  // False once stdin is exhausted.
  bool readInput() {
    char buffer[65536];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
      if (!pending_.empty() && !discarding_) inbox_.pushLine(std::move(pending_));
      pending_.clear();
      return false;
    }
    for (ssize_t i = 0; i < n; ++i) {
      const char c = buffer[i];
      if (c == '\n') {
        if (!discarding_) inbox_.pushLine(std::move(pending_));
        pending_.clear();
        discarding_ = false;
      } else if (!discarding_) {
        pending_.push_back(c);
        if (pending_.size() > kMaxLineBytes) {
          sink_.error("input line longer than 16 MiB ignored");
          pending_.clear();
          discarding_ = true;
        }
      }
    }
    return true;
  }

  sim::Inbox& inbox_;
  sim::EventSink& sink_;
  int signal_fd_;
  int wake_fd_;
  std::string pending_;
  bool discarding_ = false;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  const ParseResult parsed = parseArguments(argc, argv);
  if (parsed.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "tarvek-sim: %s\nTry 'tarvek-sim --help'.\n", parsed.error.c_str());
    return 2;
  }

  // Before any thread exists (DDS starts its own), so every thread inherits the mask and
  // the signals reach only the signalfd.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  // A driver that closes our stdout must not kill us mid-teardown.
  signal(SIGPIPE, SIG_IGN);
  const int signal_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
  if (signal_fd < 0) {
    std::perror("tarvek-sim: signalfd");
    return 1;
  }

  sim::EventSink sink(stdout);
  sim::Inbox inbox;
  InputThread input(inbox, sink, signal_fd);
  std::string reason;
  int status = 0;
  try {
    sim::Controller controller(parsed.options, sink, inbox);
    controller.announceReady();
    reason = controller.run();
  } catch (const std::exception& e) {
    sink.error(e.what());
    reason = "error";
    status = 1;
  }
  // The controller, and with it the participant, is gone by now.
  if (reason == "quit") {
    sim::Json ok = sim::makeEvent("ok");
    ok["cmd"] = "quit";
    sink.emit(ok);
  }
  sim::Json exit_event = sim::makeEvent("exit");
  exit_event["reason"] = reason;
  sink.emit(exit_event);
  if (reason == "error") status = 1;
  return status;
}
