#include "ros2/context.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "ros2/entity.hpp"
#include "ros2/security.hpp"

namespace ros2 {
namespace {

// Generation of the valid initialisation, 0 when none. The signal handler clears it,
// so it must be a lock-free atomic.
std::atomic<uint64_t> g_validGeneration{0};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "signal handler needs a lock-free flag");

struct sigaction g_previous[2];
int g_wakeWrite = -1;
// The process that installed the handlers: a forked child inherits them, and with them the
// write end of the creator's wake-up pipe, which the child must leave alone.
pid_t g_installer = 0;

// A process started without an enclave of its own has the root enclave.
constexpr const char* kEnclave = "/";

int slotOf(int signum) { return signum == SIGINT ? 0 : 1; }

// Ends the process the way the signal's default disposition would have. The signal stays
// blocked while its handler runs, so the re-raised one is delivered, now with the default
// action, as soon as the handler returns.
void endAsIfUnhandled(int signum) {
  struct sigaction fallback;
  std::memset(&fallback, 0, sizeof fallback);
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signum, &fallback, nullptr);
  raise(signum);
}

void onSignal(int signum, siginfo_t* info, void* ucontext) {
  const int savedErrno = errno;
  const struct sigaction& previous = g_previous[slotOf(signum)];
  // A signal the process ignored before the handlers came stays ignored.
  if (previous.sa_handler == SIG_IGN) {
    errno = savedErrno;
    return;
  }
  // Checked through sa_handler whatever the flags: SA_SIGINFO with SIG_DFL is possible.
  if (previous.sa_handler != SIG_DFL) {
    if ((previous.sa_flags & SA_SIGINFO) != 0) {
      previous.sa_sigaction(signum, info, ucontext);
    } else {
      previous.sa_handler(signum);
    }
  }
  if (getpid() == g_installer) {
    const uint64_t generation = g_validGeneration.exchange(0);
    // DDS calls are not async-signal-safe: the watcher thread does the waking.
    if (generation != 0 && g_wakeWrite >= 0) {
      const ssize_t written = write(g_wakeWrite, &generation, sizeof generation);
      (void)written;
    }
  }
  if (previous.sa_handler == SIG_DFL) endAsIfUnhandled(signum);
  errno = savedErrno;
}

void watchSignals(int readFd) {
  for (;;) {
    uint64_t generation = 0;
    const ssize_t n = read(readFd, &generation, sizeof generation);
    if (n == static_cast<ssize_t>(sizeof generation)) {
      Context::global().wakeGeneration(generation);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;
    }
  }
}

void installSignalHandlers() {
  static std::mutex mutex;
  static bool installed = false;
  std::lock_guard<std::mutex> lock(mutex);
  if (installed) return;

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("cannot create the signal wake-up pipe: ") + std::strerror(errno));
  }
  // A full pipe must never block the handler; one pending byte group is enough to wake.
  (void)fcntl(fds[1], F_SETFL, O_NONBLOCK);

  // The watcher blocks the two signals so that they interrupt the application's threads.
  sigset_t blocked;
  sigset_t old;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, &old);
  try {
    std::thread(watchSignals, fds[0]).detach();
  } catch (...) {
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    close(fds[0]);
    close(fds[1]);
    throw;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  g_wakeWrite = fds[1];
  g_installer = getpid();

  for (int signum : {SIGINT, SIGTERM}) {
    sigaction(signum, nullptr, &g_previous[slotOf(signum)]);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onSignal;
    action.sa_flags = SA_SIGINFO;  // no SA_RESTART: blocking calls see EINTR
    sigemptyset(&action.sa_mask);
    sigaction(signum, &action, nullptr);
  }
  installed = true;
}

}  // namespace

uint32_t parseDomainId(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  const std::string quoted = std::string("'") + text + "'";
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  // strtoul would wrap "-1" to the largest value: reject signs outright.
  if (*p == '-') throw std::runtime_error("ROS_DOMAIN_ID is out of range: " + quoted);
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 0);
  if (value == 0 && *end != '\0') throw std::runtime_error("ROS_DOMAIN_ID is not a number: " + quoted);
  // UINT32_MAX is DDS_DOMAIN_DEFAULT, which would silently pick the configured domain.
  if (errno == ERANGE || value >= UINT32_MAX) {
    throw std::runtime_error("ROS_DOMAIN_ID is out of range: " + quoted);
  }
  return static_cast<uint32_t>(value);
}

namespace detail {

ContextState::ContextState(uint64_t generation, uint32_t domainId, std::string programName,
                           Security security)
    : generation_(generation),
      domainId_(domainId),
      programName_(std::move(programName)),
      security_(std::move(security)) {}

ContextState::~ContextState() {
  graph_.reset();
  if (participant_ > 0) (void)dds_delete(participant_);
}

bool ContextState::valid() const noexcept { return g_validGeneration.load() == generation_; }

dds_entity_t ContextState::participant() {
  std::lock_guard<std::mutex> lock(mutex_);
  ensureParticipantLocked();
  return participant_;
}

Graph& ContextState::graph() {
  std::lock_guard<std::mutex> lock(mutex_);
  ensureParticipantLocked();
  return *graph_;
}

dds_entity_t ContextState::shutdownCondition() {
  std::lock_guard<std::mutex> lock(mutex_);
  ensureParticipantLocked();
  return shutdownCondition_;
}

std::string ContextState::nextEndpointId() {
  std::lock_guard<std::mutex> lock(mutex_);
  ensureParticipantLocked();
  char counter[17];
  std::snprintf(counter, sizeof counter, "%08llx", static_cast<unsigned long long>(++endpointCounter_));
  return guidPrefixHex_ + "." + counter;
}

void ContextState::wake() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  woken_ = true;
  if (shutdownCondition_ > 0) (void)dds_set_guardcondition(shutdownCondition_, true);
}

void ContextState::ensureParticipantLocked() {
  if (participant_ > 0) return;
  Qos qos;
  const std::string userData = std::string("enclave=") + kEnclave + ";";
  dds_qset_userdata(qos.get(), userData.data(), userData.size());
  applySecurity(qos.get(), security_);
  Entity participant(checkEntity(dds_create_participant(domainId_, qos.get(), nullptr),
                                 "dds_create_participant"));
  const dds_entity_t condition =
      checkEntity(dds_create_guardcondition(participant.get()), "dds_create_guardcondition");
  dds_guid_t guid;
  checkRc(dds_get_guid(participant.get(), &guid), "dds_get_guid");
  guidPrefixHex_ = hex(guid.v, 12);
  auto graph = std::make_unique<Graph>(participant.get());
  if (woken_ || !valid()) (void)dds_set_guardcondition(condition, true);
  graph_ = std::move(graph);
  participant_ = participant.release();
  shutdownCondition_ = condition;
}

}  // namespace detail

Context& Context::global() {
  // Never destroyed: the signal watcher may still reach it while the process exits.
  static Context* const context = new Context();
  return *context;
}

void Context::init(const std::string& programName) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (current_ && current_->valid()) throw std::runtime_error("ros2 context is already initialised");
  const uint32_t domainId = parseDomainId(std::getenv("ROS_DOMAIN_ID"));
  // Read at initialisation, as ROS 2 does: a refusal under Enforce leaves nothing installed.
  Security security = securityFromEnvironment(kEnclave);
  installSignalHandlers();
  const uint64_t generation = ++lastGeneration_;
  auto state = std::make_shared<detail::ContextState>(generation, domainId, programName, std::move(security));
  for (auto it = all_.begin(); it != all_.end();) {
    it = it->second.expired() ? all_.erase(it) : std::next(it);
  }
  all_.emplace(generation, state);
  current_ = std::move(state);
  g_validGeneration.store(generation);
}

bool Context::isValid() const noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_ && current_->valid();
}

void Context::shutdown() noexcept {
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!current_) return;
    generation = current_->generation();
    uint64_t expected = generation;
    g_validGeneration.compare_exchange_strong(expected, 0);
  }
  wakeGeneration(generation);
}

uint32_t Context::domainId() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_ ? current_->domainId() : 0;
}

std::shared_ptr<detail::ContextState> Context::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!current_ || !current_->valid()) throw std::runtime_error("ros2 context is not initialised or was shut down");
  return current_;
}

void Context::wakeGeneration(uint64_t generation) noexcept {
  std::shared_ptr<detail::ContextState> state;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = all_.find(generation);
    if (it != all_.end()) state = it->second.lock();
  }
  if (state) state->wake();
}

}  // namespace ros2
