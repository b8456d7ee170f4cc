#include "ros2/graph.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "rmw_dds_common/msg/ParticipantEntitiesInfo.h"  // generated from the IDL of that path

namespace ros2 {
namespace {

using WireGid = rmw_dds_common_msg_dds__Gid_;
using WireNode = rmw_dds_common_msg_dds__NodeEntitiesInfo_;
using WireInfo = rmw_dds_common_msg_dds__ParticipantEntitiesInfo_;

// The bound of both strings in the message.
constexpr size_t kMaxNameLength = 256;

// Writer and reader QoS as the ROS 2 middleware on Cyclone creates them for the graph
// topic. Transient local keeps the latest sample for late joiners; Cyclone takes what
// it keeps from the durability service history, so that follows the history.
void fillGraphQos(const Qos& qos, bool writer) {
  const dds_history_kind_t history = writer ? DDS_HISTORY_KEEP_LAST : DDS_HISTORY_KEEP_ALL;
  const int32_t depth = writer ? 1 : DDS_LENGTH_UNLIMITED;
  dds_qset_history(qos.get(), history, depth);
  dds_qset_reliability(qos.get(), DDS_RELIABILITY_RELIABLE, DDS_INFINITY);
  dds_qset_durability(qos.get(), DDS_DURABILITY_TRANSIENT_LOCAL);
  dds_qset_durability_service(qos.get(), 0, history, depth, DDS_LENGTH_UNLIMITED,
                              DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED);
  dds_qset_liveliness(qos.get(), DDS_LIVELINESS_AUTOMATIC, DDS_INFINITY);
  if (writer) {
    dds_qset_writer_data_lifecycle(qos.get(), false);
    const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
    dds_qset_data_representation(qos.get(), 1, &xcdr1);
  } else {
    // Our own samples are of no interest to us.
    dds_qset_ignorelocal(qos.get(), DDS_IGNORELOCAL_PARTICIPANT);
  }
}

// We keep no graph of our peers, but a keep-all reader nobody takes from would keep
// every sample every peer ever sends; this drops them as they arrive (on Cyclone's
// delivery thread, touching nothing of ours).
void dropGraphSamples(dds_entity_t reader, void*) {
  void* samples[8] = {};
  dds_sample_info_t infos[8];
  for (;;) {
    const dds_return_t n = dds_take(reader, samples, infos, 8, 8);
    if (n <= 0) return;
    (void)dds_return_loan(reader, samples, n);
  }
}

void copyName(char (&target)[kMaxNameLength + 1], const std::string& text) {
  if (text.size() > kMaxNameLength)
    throw std::invalid_argument("ROS name longer than 256 characters: '" + text + "'");
  std::memcpy(target, text.c_str(), text.size() + 1);
}

WireGid toWire(const Gid& gid) {
  WireGid wire;
  std::memcpy(wire.data, gid.data(), gid.size());
  return wire;
}

void eraseAll(std::vector<Gid>& from, const std::vector<Gid>& gids) {
  for (const Gid& gid : gids) {
    const auto it = std::find(from.begin(), from.end(), gid);
    if (it != from.end()) from.erase(it);
  }
}

}  // namespace

Gid entityGid(dds_entity_t entity) {
  dds_guid_t guid;
  checkRc(dds_get_guid(entity, &guid), "dds_get_guid");
  Gid gid{};
  static_assert(sizeof guid.v == 16, "a DDS GUID has 16 bytes");
  std::memcpy(gid.data(), guid.v, sizeof guid.v);
  return gid;
}

const dds_topic_descriptor_t* graphInfoDescriptor() noexcept {
  return &rmw_dds_common_msg_dds__ParticipantEntitiesInfo__desc;
}

namespace detail {

Graph::Graph(dds_entity_t participant) : participantGid_(entityGid(participant)) {
  topic_ = Entity(checkEntity(
      dds_create_topic(participant, graphInfoDescriptor(), kGraphTopic, nullptr, nullptr),
      std::string("dds_create_topic(") + kGraphTopic + ")"));
  Qos writerQos;
  fillGraphQos(writerQos, true);
  writer_ =
      Entity(checkEntity(dds_create_writer(participant, topic_.get(), writerQos.get(), nullptr),
                         std::string("dds_create_writer(") + kGraphTopic + ")"));
  Qos readerQos;
  fillGraphQos(readerQos, false);
  dds_listener_t* listener = dds_create_listener(nullptr);
  if (listener == nullptr) throw std::bad_alloc();
  dds_lset_data_available(listener, dropGraphSamples);
  const dds_entity_t reader =
      dds_create_reader(participant, topic_.get(), readerQos.get(), listener);
  dds_delete_listener(listener);
  reader_ = Entity(checkEntity(reader, std::string("dds_create_reader(") + kGraphTopic + ")"));
}

uint64_t Graph::addNode(const std::string& nodeNamespace, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t key = ++lastKey_;
  nodes_.push_back(NodeInfo{key, nodeNamespace, name, {}, {}});
  try {
    publishLocked();
  } catch (...) {
    nodes_.pop_back();
    throw;
  }
  return key;
}

void Graph::removeNode(uint64_t node) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = std::find_if(nodes_.begin(), nodes_.end(),
                               [node](const NodeInfo& n) { return n.key == node; });
  if (it == nodes_.end()) return;
  nodes_.erase(it);
  try {
    publishLocked();
  } catch (...) {
    // The participant is going away or broken; peers drop its graph with it.
  }
}

void Graph::addEndpoints(uint64_t node, const std::vector<Gid>& readers,
                         const std::vector<Gid>& writers) {
  std::lock_guard<std::mutex> lock(mutex_);
  NodeInfo* info = findLocked(node);
  if (info == nullptr) throw std::logic_error("endpoints added to a node that is not in the graph");
  info->readers.insert(info->readers.end(), readers.begin(), readers.end());
  info->writers.insert(info->writers.end(), writers.begin(), writers.end());
  try {
    publishLocked();
  } catch (...) {
    eraseAll(info->readers, readers);
    eraseAll(info->writers, writers);
    throw;
  }
}

void Graph::removeEndpoints(uint64_t node, const std::vector<Gid>& readers,
                            const std::vector<Gid>& writers) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  NodeInfo* info = findLocked(node);
  if (info == nullptr) return;  // the node went first and took them along
  eraseAll(info->readers, readers);
  eraseAll(info->writers, writers);
  try {
    publishLocked();
  } catch (...) {
    // As in removeNode.
  }
}

Graph::NodeInfo* Graph::findLocked(uint64_t node) {
  for (NodeInfo& info : nodes_) {
    if (info.key == node) return &info;
  }
  return nullptr;
}

void Graph::publishLocked() {
  // The wire structs point into these vectors until the write returns.
  std::vector<WireNode> wireNodes(nodes_.size());
  std::vector<std::vector<WireGid>> gids(2 * nodes_.size());
  for (size_t i = 0; i < nodes_.size(); ++i) {
    const NodeInfo& node = nodes_[i];
    WireNode& wire = wireNodes[i];
    copyName(wire.node_namespace, node.nodeNamespace);
    copyName(wire.node_name, node.name);
    std::vector<WireGid>& readers = gids[2 * i];
    std::vector<WireGid>& writers = gids[2 * i + 1];
    std::transform(node.readers.begin(), node.readers.end(), std::back_inserter(readers), toWire);
    std::transform(node.writers.begin(), node.writers.end(), std::back_inserter(writers), toWire);
    wire.reader_gid_seq = {static_cast<uint32_t>(readers.size()),
                           static_cast<uint32_t>(readers.size()), readers.data(), false};
    wire.writer_gid_seq = {static_cast<uint32_t>(writers.size()),
                           static_cast<uint32_t>(writers.size()), writers.data(), false};
  }
  WireInfo info;
  info.gid = toWire(participantGid_);
  info.node_entities_info_seq = {static_cast<uint32_t>(wireNodes.size()),
                                 static_cast<uint32_t>(wireNodes.size()), wireNodes.data(), false};
  checkRc(dds_write(writer_.get(), &info), std::string("dds_write(") + kGraphTopic + ")");
}

GraphEndpoints::GraphEndpoints(Graph& graph, uint64_t node, std::vector<Gid> readers,
                               std::vector<Gid> writers)
    : node_(node), readers_(std::move(readers)), writers_(std::move(writers)) {
  graph.addEndpoints(node_, readers_, writers_);
  graph_ = &graph;
}

GraphEndpoints::GraphEndpoints(GraphEndpoints&& other) noexcept
    : graph_(std::exchange(other.graph_, nullptr)),
      node_(other.node_),
      readers_(std::move(other.readers_)),
      writers_(std::move(other.writers_)) {}

GraphEndpoints& GraphEndpoints::operator=(GraphEndpoints&& other) noexcept {
  if (this != &other) {
    reset();
    graph_ = std::exchange(other.graph_, nullptr);
    node_ = other.node_;
    readers_ = std::move(other.readers_);
    writers_ = std::move(other.writers_);
  }
  return *this;
}

void GraphEndpoints::reset() noexcept {
  if (graph_ != nullptr) graph_->removeEndpoints(node_, readers_, writers_);
  graph_ = nullptr;
}

}  // namespace detail
}  // namespace ros2
