#pragma once
// The ROS 2 graph of our participant: which nodes it holds and which readers and
// writers belong to each, published on "ros_discovery_info" the way ROS 2 processes on
// Cyclone DDS publish it. Without it a peer's node list (and tools built on it) shows
// nothing of ours, although the services themselves work.
#include <dds/dds.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ros2/entity.hpp"

namespace ros2 {

// A ROS GID: the entity's 16-byte DDS GUID followed by 8 zero bytes.
using Gid = std::array<uint8_t, 24>;
Gid entityGid(dds_entity_t entity);

// Topic and type of the graph samples.
inline constexpr const char* kGraphTopic = "ros_discovery_info";
const dds_topic_descriptor_t* graphInfoDescriptor() noexcept;

namespace detail {

// One participant's graph state and its writer and reader on the graph topic. Every
// change republishes the whole state (keep-last 1, transient local, so a peer joining
// later gets the latest). Changes and their publication happen under one lock so that
// the last sample sent is always the current state. Thread-safe.
class Graph {
 public:
  explicit Graph(dds_entity_t participant);
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  // Adds a node and publishes; throws (leaving the state unchanged) when that fails.
  uint64_t addNode(const std::string& nodeNamespace, const std::string& name);
  // Removes a node with whatever endpoints are still listed and publishes.
  void removeNode(uint64_t node) noexcept;
  // Lists endpoints under a node and publishes once; throws (listing nothing) on failure.
  void addEndpoints(uint64_t node, const std::vector<Gid>& readers,
                    const std::vector<Gid>& writers);
  void removeEndpoints(uint64_t node, const std::vector<Gid>& readers,
                       const std::vector<Gid>& writers) noexcept;

  dds_entity_t writer() const noexcept { return writer_.get(); }
  dds_entity_t reader() const noexcept { return reader_.get(); }

 private:
  struct NodeInfo {
    uint64_t key;
    std::string nodeNamespace;
    std::string name;
    std::vector<Gid> readers;
    std::vector<Gid> writers;
  };

  NodeInfo* findLocked(uint64_t node);
  void publishLocked();

  std::mutex mutex_;
  Gid participantGid_{};
  std::vector<NodeInfo> nodes_;  // in creation order, as ROS lists them
  uint64_t lastKey_ = 0;
  Entity topic_;
  Entity writer_;
  Entity reader_;
};

// Lists a client's or server's endpoints under its node for as long as it lives.
class GraphEndpoints {
 public:
  GraphEndpoints() = default;
  GraphEndpoints(Graph& graph, uint64_t node, std::vector<Gid> readers, std::vector<Gid> writers);
  ~GraphEndpoints() { reset(); }
  GraphEndpoints(GraphEndpoints&& other) noexcept;
  GraphEndpoints& operator=(GraphEndpoints&& other) noexcept;
  GraphEndpoints(const GraphEndpoints&) = delete;
  GraphEndpoints& operator=(const GraphEndpoints&) = delete;
  void reset() noexcept;

 private:
  Graph* graph_ = nullptr;
  uint64_t node_ = 0;
  std::vector<Gid> readers_;
  std::vector<Gid> writers_;
};

}  // namespace detail
}  // namespace ros2
