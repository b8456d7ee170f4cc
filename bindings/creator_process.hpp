#pragma once

// Which process an object belongs to. A forked child inherits a copy of the parent's objects,
// but not the DDS library's threads that serve them: the participant, its writers' identity
// and sequence numbers remain the parent's. A child that wrote with them would disturb the
// parent's exchange with the controller, and deleting them would disturb the parent's
// participant, so in the child the object refuses to work and its destructor leaves them be.
//
// Nor can such a child start DDS afresh: the library's state came along without its threads,
// and a new participant would wait for them for ever. A process that is to use the robot must
// be started, not forked, once its parent uses DDS (multiprocessing's "spawn" or "forkserver").

#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>

namespace bindings {

inline std::string forkAdvice(const std::string& what) {
  return "use multiprocessing's 'spawn' or 'forkserver' start method and create the " + what +
         " in the new process";
}

class CreatorProcess {
 public:
  // Refuses to create an object in a process forked from one where this module already used
  // DDS (each module keeps its own record). `what` names the class ("Robot").
  explicit CreatorProcess(const char* what) {
    static std::atomic<pid_t> dds_user{0};
    const pid_t before = dds_user.exchange(pid_);
    if (before != 0 && before != pid_) {
      dds_user.store(before);
      throw std::runtime_error(std::string(what) +
                               " cannot be created in a process forked from one that uses DDS; " +
                               forkAdvice(what));
    }
  }

  bool isCurrent() const noexcept { return ::getpid() == pid_; }

  // Throws unless called in the creating process.
  void check(const char* what) const {
    if (!isCurrent()) {
      throw std::runtime_error(std::string(what) +
                               " was created in another process (this is a forked child); " +
                               forkAdvice(what));
    }
  }

 private:
  pid_t pid_ = ::getpid();
};

}  // namespace bindings
