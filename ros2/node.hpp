#pragma once
// A node: a name in the context's participant. Endpoints are made by Client/Server.
#include <dds/dds.h>

#include <memory>
#include <string>

#include "ros2/context.hpp"

namespace ros2 {

class Node {
 public:
  // Throws std::invalid_argument for a malformed name and std::runtime_error when
  // the context is not valid or the participant cannot be created.
  explicit Node(const std::string& name, Context& context = Context::global());

  const std::string& name() const noexcept { return name_; }
  dds_entity_t participant() const noexcept { return participant_; }
  const std::shared_ptr<detail::ContextState>& contextState() const noexcept { return state_; }

 private:
  std::string name_;
  std::shared_ptr<detail::ContextState> state_;
  dds_entity_t participant_;
};

}  // namespace ros2
