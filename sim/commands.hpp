#pragma once

// The standard-input side of the protocol: lines handed over by the input thread, and the
// table that turns each line into a command and acknowledges it.

#include <dds/dds.h>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "sim/protocol.hpp"

namespace sim {

// What the input thread hands to the main loop: command lines and caught signals.
// Pushing raises the guard condition, which wakes the main loop's wait set.
class Inbox {
 public:
  struct Item {
    std::string line;
    int signal = 0;  // non-zero: a signal arrived, `line` is unused
  };

  void setGuard(dds_entity_t guard);
  void pushLine(std::string line);
  void pushSignal(int signo);
  std::deque<Item> takeAll();

 private:
  void wake();

  std::mutex mutex_;
  std::deque<Item> items_;
  std::atomic<dds_entity_t> guard_{0};
};

const Json* member(const Json& object, const char* key);
// Throws ProtocolError when `key` is missing.
const Json& required(const Json& object, const char* key);

// Commands by name. A line that runs its command is acknowledged with an "ok" event once the
// command took effect; a malformed line or a refused command gives an "error" event.
class CommandTable {
 public:
  using Handler = std::function<void(const Json& command)>;

  explicit CommandTable(EventSink& sink) : sink_(sink) {}
  void add(const std::string& name, Handler handler);
  void handleLine(const std::string& line);

 private:
  EventSink& sink_;
  std::map<std::string, Handler> handlers_;
};

}  // namespace sim
