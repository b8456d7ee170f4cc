#include "ros2/node.hpp"

#include <cctype>
#include <stdexcept>

namespace ros2 {
namespace {

// Node names follow the ROS rule: letters, digits and '_', not starting with a digit.
bool validNodeName(const std::string& name) {
  if (name.empty() || name.size() > 255 || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
  for (const char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

}  // namespace

Node::Node(const std::string& name, Context& context) : name_(name) {
  if (!validNodeName(name)) throw std::invalid_argument("invalid node name: '" + name + "'");
  state_ = context.state();
  participant_ = state_->participant();
  graph_ = &state_->graph();
  graphKey_ = graph_->addNode(nodeNamespace(), name_);
}

Node::~Node() { graph_->removeNode(graphKey_); }

const std::string& Node::nodeNamespace() const noexcept {
  static const std::string root = "/";
  return root;
}

}  // namespace ros2
