// The ROS 2 graph as a peer sees it: the bytes of ros_discovery_info against a hand
// layout, what a second participant learns about our nodes and their endpoints as they
// come and go, and the encapsulation header of the samples we serialise ourselves.
#include <dds/dds.h>
#include <dds/ddsi/ddsi_serdata.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "rmw_dds_common/msg/ParticipantEntitiesInfo.h"
#include "ros2/client.hpp"
#include "ros2/context.hpp"
#include "ros2/dynamic_param_service.hpp"
#include "ros2/graph.hpp"
#include "ros2/node.hpp"
#include "ros2/plain_cdr.hpp"
#include "ros2/server.hpp"

using core::srv::DynamicParam;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kDomain = 153;

Bytes hex(const std::string& text) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

Bytes ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes gidBytes(dds_entity_t entity) {
  const ros2::Gid gid = ros2::entityGid(entity);
  return Bytes(gid.begin(), gid.end());
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::string toHex(const Bytes& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (const uint8_t b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 0xf];
  }
  return text;
}

// One node of a received graph sample.
struct SeenNode {
  std::string nodeNamespace;
  std::string name;
  std::vector<ros2::Gid> readers;
  std::vector<ros2::Gid> writers;
};

struct SeenGraph {
  ros2::Gid participant{};
  std::vector<SeenNode> nodes;
  const SeenNode* find(const std::string& name) const {
    for (const SeenNode& node : nodes) {
      if (node.name == name) return &node;
    }
    return nullptr;
  }
};

std::vector<ros2::Gid> toGids(const dds_sequence_rmw_dds_common_msg_dds__Gid_& seq) {
  std::vector<ros2::Gid> out(seq._length);
  for (uint32_t i = 0; i < seq._length; ++i)
    std::memcpy(out[i].data(), seq._buffer[i].data, out[i].size());
  return out;
}

SeenGraph toSeen(const rmw_dds_common_msg_dds__ParticipantEntitiesInfo_& info) {
  SeenGraph graph;
  std::memcpy(graph.participant.data(), info.gid.data, graph.participant.size());
  for (uint32_t i = 0; i < info.node_entities_info_seq._length; ++i) {
    const auto& node = info.node_entities_info_seq._buffer[i];
    graph.nodes.push_back({node.node_namespace, node.node_name, toGids(node.reader_gid_seq),
                           toGids(node.writer_gid_seq)});
  }
  return graph;
}

// A participant of its own in the same domain, as a ROS 2 peer is: it reads the graph
// topic the way ROS does (reliable, transient local, keep all), once as bytes and once
// decoded by Cyclone from the declared type.
class Peer {
 public:
  explicit Peer(uint32_t domain = kDomain) {
    participant_ = dds_create_participant(domain, nullptr, nullptr);
    topic_ = dds_create_topic(participant_, ros2::graphInfoDescriptor(), ros2::kGraphTopic, nullptr,
                              nullptr);
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_INFINITY);
    dds_qset_durability(qos, DDS_DURABILITY_TRANSIENT_LOCAL);
    dds_qset_history(qos, DDS_HISTORY_KEEP_ALL, DDS_LENGTH_UNLIMITED);
    reader_ = dds_create_reader(participant_, topic_, qos, nullptr);
    typedReader_ = dds_create_reader(participant_, topic_, qos, nullptr);
    dds_delete_qos(qos);
  }
  ~Peer() { dds_delete(participant_); }
  bool ok() const { return participant_ > 0 && topic_ > 0 && reader_ > 0 && typedReader_ > 0; }

  // The latest graph sample once `done` holds for it (or whatever came last after 5 s).
  std::optional<SeenGraph> waitForGraph(const std::function<bool(const SeenGraph&)>& done) {
    std::optional<SeenGraph> latest;
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < end) {
      void* sample = nullptr;
      dds_sample_info_t info;
      while (dds_take(typedReader_, &sample, &info, 1, 1) == 1) {
        if (info.valid_data)
          latest =
              toSeen(*static_cast<const rmw_dds_common_msg_dds__ParticipantEntitiesInfo_*>(sample));
        dds_return_loan(typedReader_, &sample, 1);
      }
      if (latest && done(*latest)) break;
      std::this_thread::sleep_for(10ms);
    }
    return latest;
  }

  // Serialised samples that arrived until `done` holds for the latest (or 5 s pass).
  Bytes waitForBytes(const std::function<bool(const Bytes&)>& done) {
    Bytes latest;
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < end) {
      ddsi_serdata* data = nullptr;
      dds_sample_info_t info;
      while (dds_takecdr(reader_, &data, 1, &info, DDS_ANY_STATE) == 1) {
        if (info.valid_data) {
          latest.assign(ddsi_serdata_size(data), 0);
          ddsi_serdata_to_ser(data, 0, latest.size(), latest.data());
        }
        ddsi_serdata_unref(data);
      }
      if (!latest.empty() && done(latest)) break;
      std::this_thread::sleep_for(10ms);
    }
    return latest;
  }

 private:
  dds_entity_t participant_ = 0;
  dds_entity_t topic_ = 0;
  dds_entity_t reader_ = 0;
  dds_entity_t typedReader_ = 0;
};

class Ros2Graph : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("ROS_DOMAIN_ID", std::to_string(kDomain).c_str(), 1);
    if (!ros2::Context::global().isValid()) ros2::Context::global().init("ros2_graph_test");
  }
};

// The sample for one node with one reader and one writer, and after the node is gone
// the empty node list, against the layout of ParticipantEntitiesInfo written out by hand.
TEST_F(Ros2Graph, SamplesAreLaidOutAsRosDefinesThem) {
  Peer peer;
  ASSERT_TRUE(peer.ok());
  Bytes participant;
  Bytes withNode;
  Bytes expected;
  {
    ros2::Node node("graph_node");
    ros2::Client<DynamicParam> client(node, DynamicParam::serviceName);
    participant = gidBytes(node.participant());
    expected = cat({
        hex("00010000"),  // plain CDR, little endian, options 00 00
        participant,      // participant GID: GUID + 8 zero bytes
        hex("01000000"),  // one node
        hex("02000000"),
        ascii("/"),
        hex("00"),    // namespace "/" with its NUL
        hex("0000"),  // align the next length to 4
        hex("0b000000"),
        ascii("graph_node"),
        hex("00"),
        hex("00"),  // align
        hex("01000000"),
        gidBytes(client.endpoints().replyReader()),
        hex("01000000"),
        gidBytes(client.endpoints().requestWriter()),
    });
    ASSERT_EQ(expected.size(), 112u);
    withNode = peer.waitForBytes([&](const Bytes& b) { return b == expected; });
  }
  EXPECT_EQ(toHex(withNode), toHex(expected));
  EXPECT_EQ(Bytes(participant.begin() + 16, participant.end()), Bytes(8, 0));

  const Bytes empty = cat({hex("00010000"), participant, hex("00000000")});
  const Bytes last = peer.waitForBytes([&](const Bytes& b) { return b == empty; });
  EXPECT_EQ(toHex(last), toHex(empty));
}

// What a ROS 2 peer builds its node list from: the joystick's node with its client's
// reply reader and request writer, the service node with its server's request reader
// and reply writer; endpoints and nodes that go away leave the list.
TEST_F(Ros2Graph, PeerSeesNodesWithTheirEndpointsAsTheyComeAndGo) {
  ros2::Node serviceNode("graph_service");
  ros2::Server<DynamicParam> server(serviceNode, DynamicParam::serviceName);
  auto joystickNode = std::make_unique<ros2::Node>("sdk_joystick");
  auto client =
      std::make_unique<ros2::Client<DynamicParam>>(*joystickNode, DynamicParam::serviceName);
  const std::vector<ros2::Gid> clientReaders{ros2::entityGid(client->endpoints().replyReader())};
  const std::vector<ros2::Gid> clientWriters{ros2::entityGid(client->endpoints().requestWriter())};
  const std::vector<ros2::Gid> serverReaders{ros2::entityGid(server.endpoints().requestReader())};
  const std::vector<ros2::Gid> serverWriters{ros2::entityGid(server.endpoints().replyWriter())};

  // Started afterwards, the peer still gets the current state.
  Peer peer;
  ASSERT_TRUE(peer.ok());
  auto seen = peer.waitForGraph([](const SeenGraph& g) {
    const SeenNode* joystick = g.find("sdk_joystick");
    return joystick != nullptr && !joystick->writers.empty();
  });
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(seen->participant, ros2::entityGid(serviceNode.participant()));
  ASSERT_EQ(seen->nodes.size(), 2u);
  EXPECT_EQ(seen->nodes[0].name, "graph_service");  // creation order
  const SeenNode* joystick = seen->find("sdk_joystick");
  ASSERT_NE(joystick, nullptr);
  EXPECT_EQ(joystick->nodeNamespace, "/");
  EXPECT_EQ(joystick->readers, clientReaders);
  EXPECT_EQ(joystick->writers, clientWriters);
  const SeenNode* service = seen->find("graph_service");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->nodeNamespace, "/");
  EXPECT_EQ(service->readers, serverReaders);
  EXPECT_EQ(service->writers, serverWriters);

  // The client goes first, as when a Joystick is destroyed: the node stays, bare.
  client.reset();
  seen = peer.waitForGraph([](const SeenGraph& g) {
    const SeenNode* n = g.find("sdk_joystick");
    return n != nullptr && n->readers.empty() && n->writers.empty();
  });
  ASSERT_TRUE(seen.has_value());
  ASSERT_NE(seen->find("sdk_joystick"), nullptr);
  EXPECT_TRUE(seen->find("sdk_joystick")->writers.empty());

  joystickNode.reset();
  seen = peer.waitForGraph([](const SeenGraph& g) { return g.find("sdk_joystick") == nullptr; });
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(seen->find("sdk_joystick"), nullptr);
  ASSERT_EQ(seen->nodes.size(), 1u);
  EXPECT_EQ(seen->nodes[0].readers, serverReaders);
  EXPECT_EQ(seen->nodes[0].writers, serverWriters);
}

// The simulator is a process of its own: its service node reaches a peer over the
// network with the server's two endpoints.
TEST(Ros2GraphOfSimulator, ServiceNodeIsVisibleToAPeer) {
  constexpr uint32_t kSimRosDomain = 154;
  Peer peer(kSimRosDomain);
  ASSERT_TRUE(peer.ok());
  const std::string rosDomain = std::to_string(kSimRosDomain);
  const char* const argv[] = {TARVEK_SIM_PATH, "--domain",        "97",
                              "--ros-domain",  rosDomain.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, TARVEK_SIM_PATH, &actions, nullptr, const_cast<char* const*>(argv),
                        environ),
            0);
  posix_spawn_file_actions_destroy(&actions);

  const auto seen = peer.waitForGraph([](const SeenGraph& g) {
    const SeenNode* n = g.find("tarvek_sim");
    return n != nullptr && !n->readers.empty() && !n->writers.empty();
  });
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(seen.has_value());
  const SeenNode* sim = seen->find("tarvek_sim");
  ASSERT_NE(sim, nullptr);
  EXPECT_EQ(sim->nodeNamespace, "/");
  EXPECT_EQ(sim->readers.size(), 1u);
  EXPECT_EQ(sim->writers.size(), 1u);
  // Endpoints belong to the participant that publishes them: same 12-byte GUID prefix.
  EXPECT_TRUE(
      std::equal(sim->readers[0].begin(), sim->readers[0].begin() + 12, seen->participant.begin()));
  EXPECT_TRUE(
      std::equal(sim->writers[0].begin(), sim->writers[0].begin() + 12, seen->participant.begin()));
}

// ROS peers match the graph endpoints on these; a late joiner relies on the writer's
// transient-local keep-last-1 history.
TEST_F(Ros2Graph, EndpointsHaveTheQosRosCreatesThemWith) {
  ros2::Node node("graph_qos");
  ros2::detail::Graph& graph = node.graph();
  for (const bool writer : {true, false}) {
    SCOPED_TRACE(writer ? "writer" : "reader");
    dds_qos_t* qos = dds_create_qos();
    ASSERT_EQ(dds_get_qos(writer ? graph.writer() : graph.reader(), qos), DDS_RETCODE_OK);
    dds_history_kind_t history;
    int32_t depth = 0;
    dds_reliability_kind_t reliability;
    dds_duration_t blocking = 0;
    dds_durability_kind_t durability;
    ASSERT_TRUE(dds_qget_history(qos, &history, &depth));
    ASSERT_TRUE(dds_qget_reliability(qos, &reliability, &blocking));
    ASSERT_TRUE(dds_qget_durability(qos, &durability));
    EXPECT_EQ(reliability, DDS_RELIABILITY_RELIABLE);
    EXPECT_EQ(durability, DDS_DURABILITY_TRANSIENT_LOCAL);
    if (writer) {
      EXPECT_EQ(history, DDS_HISTORY_KEEP_LAST);
      EXPECT_EQ(depth, 1);
      uint32_t n = 0;
      dds_data_representation_id_t* ids = nullptr;
      ASSERT_TRUE(dds_qget_data_representation(qos, &n, &ids));
      EXPECT_TRUE(n == 1 && ids[0] == DDS_DATA_REPRESENTATION_XCDR1);
      dds_free(ids);
    } else {
      EXPECT_EQ(history, DDS_HISTORY_KEEP_ALL);
      dds_ignorelocal_kind_t ignore;
      ASSERT_TRUE(dds_qget_ignorelocal(qos, &ignore));
      EXPECT_EQ(ignore, DDS_IGNORELOCAL_PARTICIPANT);
    }
    dds_delete_qos(qos);
  }
  EXPECT_STREQ(ros2::graphInfoDescriptor()->m_typename,
               "rmw_dds_common::msg::dds_::ParticipantEntitiesInfo_");
}

// Replies end in a string, so every padding length occurs; the options bytes stay
// 00 00 and the padding is zeros, as a ROS 2 server writes them.
class PlainCdrReply : public ::testing::TestWithParam<size_t> {};

TEST_P(PlainCdrReply, HeaderOptionsAreZeroWhateverThePadding) {
  std::string message(GetParam(), 'm');
  DynamicParam::WireResponse wire{};
  wire.client_id = 0x0102030405060708u;
  wire.sequence_number = 9;
  wire.success = true;
  wire.message = message.data();
  Bytes expected =
      cat({hex("00010000"), hex("0807060504030201"), hex("0900000000000000"), hex("01000000"),
           Bytes{static_cast<uint8_t>(message.size() + 1), 0, 0, 0}, ascii(message), hex("00")});
  while (expected.size() % 4 != 0) expected.push_back(0);
  EXPECT_EQ(toHex(ros2::detail::plainCdr(DynamicParam::responseDescriptor(), &wire)),
            toHex(expected));
}

INSTANTIATE_TEST_SUITE_P(EveryPadding, PlainCdrReply, ::testing::Values(0u, 1u, 2u, 3u));

}  // namespace
