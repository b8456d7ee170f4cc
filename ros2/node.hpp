#pragma once
// A node: a name in the context's participant, listed in the participant's ROS 2 graph
// for as long as it lives. Endpoints are made by Client/Server.
#include <dds/dds.h>

#include <cstdint>
#include <memory>
#include <string>

#include "ros2/context.hpp"

namespace ros2 {

class Node {
 public:
  // Throws std::invalid_argument for a malformed name and std::runtime_error when
  // the context is not valid or the participant cannot be created.
  explicit Node(const std::string& name, Context& context = Context::global());
  ~Node();
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  const std::string& name() const noexcept { return name_; }
  // Nodes are created without a namespace, which ROS 2 spells "/".
  const std::string& nodeNamespace() const noexcept;
  dds_entity_t participant() const noexcept { return participant_; }
  const std::shared_ptr<detail::ContextState>& contextState() const noexcept { return state_; }
  // The participant's graph and the node's entry in it, under which endpoints are listed.
  detail::Graph& graph() const noexcept { return *graph_; }
  uint64_t graphKey() const noexcept { return graphKey_; }

 private:
  std::string name_;
  std::shared_ptr<detail::ContextState> state_;
  dds_entity_t participant_;
  detail::Graph* graph_;  // owned by state_
  uint64_t graphKey_;
};

}  // namespace ros2
