#pragma once

// Which process an object belongs to. A forked child inherits a copy of the parent's objects,
// but not the DDS library's threads that serve them: the participant, its writers' identity
// and sequence numbers remain the parent's. A child that wrote with them would disturb the
// parent's exchange with the controller, and deleting them would disturb the parent's
// participant, so in the child the object refuses to work and its destructor leaves them be.

#include <unistd.h>

#include <stdexcept>
#include <string>

namespace bindings {

class CreatorProcess {
 public:
  bool isCurrent() const noexcept { return ::getpid() == pid_; }

  // Throws unless called in the creating process. `what` names the class ("Robot").
  void check(const char* what) const {
    if (!isCurrent()) {
      throw std::runtime_error(std::string(what) +
                               " was created in another process (this is a forked child); "
                               "create a new " + what + " in this process");
    }
  }

 private:
  pid_t pid_ = ::getpid();
};

}  // namespace bindings
