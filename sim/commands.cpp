#include "sim/commands.hpp"

#include <utility>

namespace sim {

void Inbox::setGuard(dds_entity_t guard) {
  guard_.store(guard);
  // Lines that arrived before the wait set existed must not wait for the next one.
  bool pending = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending = !items_.empty();
  }
  if (pending) wake();
}

void Inbox::wake() {
  const dds_entity_t guard = guard_.load();
  if (guard > 0) (void)dds_set_guardcondition(guard, true);
}

void Inbox::pushLine(std::string line) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(Item{std::move(line), 0});
  }
  wake();
}

void Inbox::pushSignal(int signo) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(Item{std::string(), signo});
  }
  wake();
}

std::deque<Inbox::Item> Inbox::takeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(items_, {});
}

const Json* member(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

const Json& required(const Json& object, const char* key) {
  const Json* value = member(object, key);
  if (value == nullptr) throw ProtocolError(std::string("missing \"") + key + "\"");
  return *value;
}

void CommandTable::add(const std::string& name, Handler handler) {
  handlers_[name] = std::move(handler);
}

void CommandTable::handleLine(const std::string& line) {
  if (line.find_first_not_of(" \t\r") == std::string::npos) return;
  Json command;
  try {
    command = Json::parse(line);
  } catch (const std::exception& e) {
    sink_.error(std::string("malformed JSON: ") + e.what());
    return;
  }
  const Json* name = command.is_object() ? member(command, "cmd") : nullptr;
  if (name == nullptr || !name->is_string()) {
    sink_.error("a command is an object with a \"cmd\" string");
    return;
  }
  const std::string cmd = name->get<std::string>();
  try {
    const auto handler = handlers_.find(cmd);
    if (handler == handlers_.end()) throw ProtocolError("unknown command: " + cmd);
    handler->second(command);
  } catch (const std::exception& e) {
    Json event = makeEvent("error");
    event["message"] = e.what();
    event["cmd"] = cmd;
    sink_.emit(event);
    return;
  }
  if (cmd == "quit") return;  // acknowledged once the entities are gone
  Json ok = makeEvent("ok");
  ok["cmd"] = cmd;
  sink_.emit(ok);
}

}  // namespace sim
