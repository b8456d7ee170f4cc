// Which entities the endpoint layer creates and deletes, in which order and with which
// arguments, as the library sees the calls: this program is linked so that the layer's
// calls reach the recorders below, which pass every call on to the real function.
// A failure is made by handing the library an argument it refuses, so the error code and
// its text are the library's own.
#include <dds/dds.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dds/dds_layer.hpp"
#include "joystick/joystick.hpp"
#include "param_server.hpp"
#include "robot/robot.hpp"

namespace {

constexpr int32_t kDomain = 142;
constexpr int kRos2Domain = 143;

struct Event {
  std::string what;  // participant, topic, writer, reader, readcondition, waitset, attach, delete
  dds_entity_t handle = 0;  // what was created, attached to, or deleted
  dds_return_t rc = 0;      // the library's result
  dds_entity_t parent = 0;  // the participant, reader or wait set named in the call
  dds_entity_t topic = 0;
  std::string name;  // topic name as passed
  const dds_topic_descriptor_t* descriptor = nullptr;
  bool qosGiven = false;
  bool listenerGiven = false;
  dds_history_kind_t history{};
  int32_t depth = 0;
  dds_reliability_kind_t reliability{};
  dds_duration_t blocking = 0;
  dds_durability_kind_t durability{};
  uint32_t mask = 0;
  dds_attach_t attachValue = 0;
  dds_entity_t attached = 0;
};

Event event(const char* what, dds_entity_t handle, dds_return_t rc, dds_entity_t parent = 0,
            dds_entity_t topic = 0) {
  Event e;
  e.what = what;
  e.handle = handle;
  e.rc = rc;
  e.parent = parent;
  e.topic = topic;
  return e;
}

bool g_recording = false;
int g_failAt = 0;  // 1-based index of the create or attach call to refuse; 0: none
int g_calls = 0;
std::vector<Event> g_events;

// True when this create or attach call is the one to be refused.
bool refuseThisCall() {
  if (!g_recording) return false;
  return ++g_calls == g_failAt;
}

void record(Event e) {
  if (g_recording) g_events.push_back(std::move(e));
}

void copyQos(Event& e, const dds_qos_t* qos) {
  e.qosGiven = qos != nullptr;
  if (qos == nullptr) return;
  dds_qget_history(qos, &e.history, &e.depth);
  dds_qget_reliability(qos, &e.reliability, &e.blocking);
  dds_qget_durability(qos, &e.durability);
}

}  // namespace

extern "C" {
dds_entity_t __real_dds_create_participant(dds_domainid_t, const dds_qos_t*, const dds_listener_t*);
dds_entity_t __real_dds_create_topic(dds_entity_t, const dds_topic_descriptor_t*, const char*,
                                     const dds_qos_t*, const dds_listener_t*);
dds_entity_t __real_dds_create_writer(dds_entity_t, dds_entity_t, const dds_qos_t*,
                                      const dds_listener_t*);
dds_entity_t __real_dds_create_reader(dds_entity_t, dds_entity_t, const dds_qos_t*,
                                      const dds_listener_t*);
dds_entity_t __real_dds_create_readcondition(dds_entity_t, uint32_t);
dds_entity_t __real_dds_create_waitset(dds_entity_t);
dds_return_t __real_dds_waitset_attach(dds_entity_t, dds_entity_t, dds_attach_t);
dds_return_t __real_dds_delete(dds_entity_t);

dds_entity_t __wrap_dds_create_participant(dds_domainid_t domain, const dds_qos_t* qos,
                                           const dds_listener_t* listener) {
  // No port numbers exist for this domain.
  const dds_entity_t h =
      __real_dds_create_participant(refuseThisCall() ? 5000 : domain, qos, listener);
  Event e = event("participant", h, h);
  e.parent = static_cast<dds_entity_t>(domain);
  copyQos(e, qos);
  e.listenerGiven = listener != nullptr;
  record(e);
  return h;
}

dds_entity_t __wrap_dds_create_topic(dds_entity_t participant,
                                     const dds_topic_descriptor_t* descriptor, const char* name,
                                     const dds_qos_t* qos, const dds_listener_t* listener) {
  // An empty topic name is not a valid one.
  const dds_entity_t h =
      __real_dds_create_topic(participant, descriptor, refuseThisCall() ? "" : name, qos, listener);
  Event e = event("topic", h, h, participant);
  e.name = name != nullptr ? name : "";
  e.descriptor = descriptor;
  copyQos(e, qos);
  e.listenerGiven = listener != nullptr;
  record(e);
  return h;
}

dds_entity_t __wrap_dds_create_writer(dds_entity_t participant, dds_entity_t topic,
                                      const dds_qos_t* qos, const dds_listener_t* listener) {
  const dds_entity_t h =
      __real_dds_create_writer(participant, refuseThisCall() ? 0 : topic, qos, listener);
  Event e = event("writer", h, h, participant, topic);
  copyQos(e, qos);
  e.listenerGiven = listener != nullptr;
  record(e);
  return h;
}

dds_entity_t __wrap_dds_create_reader(dds_entity_t participant, dds_entity_t topic,
                                      const dds_qos_t* qos, const dds_listener_t* listener) {
  const dds_entity_t h =
      __real_dds_create_reader(participant, refuseThisCall() ? 0 : topic, qos, listener);
  Event e = event("reader", h, h, participant, topic);
  copyQos(e, qos);
  e.listenerGiven = listener != nullptr;
  record(e);
  return h;
}

dds_entity_t __wrap_dds_create_readcondition(dds_entity_t reader, uint32_t mask) {
  const dds_entity_t h = __real_dds_create_readcondition(refuseThisCall() ? 0 : reader, mask);
  Event e = event("readcondition", h, h, reader);
  e.mask = mask;
  record(e);
  return h;
}

dds_entity_t __wrap_dds_create_waitset(dds_entity_t owner) {
  const dds_entity_t h = __real_dds_create_waitset(refuseThisCall() ? 0 : owner);
  record(event("waitset", h, h, owner));
  return h;
}

dds_return_t __wrap_dds_waitset_attach(dds_entity_t waitset, dds_entity_t entity, dds_attach_t x) {
  const dds_return_t rc = __real_dds_waitset_attach(waitset, refuseThisCall() ? 0 : entity, x);
  Event e = event("attach", waitset, rc, waitset);
  e.attached = entity;
  e.attachValue = x;
  record(e);
  return rc;
}

dds_return_t __wrap_dds_delete(dds_entity_t entity) {
  const dds_return_t rc = __real_dds_delete(entity);
  record(event("delete", entity, rc));
  return rc;
}
}  // extern "C"

namespace {

// The calls of one construction and teardown, told apart from those of other participants
// (the joystick's ROS 2 node) and named by entity kind and topic.
struct Trace {
  std::vector<std::string> created;  // "writer user_mode", "attach user_obs", ...
  std::vector<std::string> deleted;
  std::vector<Event> creations;  // the matching events, same order as `created`
  std::vector<dds_return_t> deleteResults;
  dds_entity_t participant = 0;
};

Trace trace(const std::vector<Event>& events, int32_t domain) {
  std::map<dds_entity_t, dds_entity_t> participantOf;
  std::map<dds_entity_t, std::string> topicOf;
  std::vector<dds_entity_t> ownerOf;  // per event: the participant it belongs to
  std::vector<std::string> names;     // per event: kind and topic
  std::string lastConditionTopic;
  Trace t;
  for (const Event& e : events) {
    dds_entity_t owner = 0;
    std::string topic;
    if (e.what == "participant") {
      if (e.parent == domain && e.rc > 0) t.participant = e.handle;
      owner = e.rc > 0 ? e.handle : (e.parent == domain ? -1 : 0);
    } else if (e.what == "topic") {
      owner = e.parent;
      topic = e.name;
    } else if (e.what == "writer" || e.what == "reader") {
      owner = e.parent;
      topic = topicOf[e.topic];
    } else if (e.what == "readcondition") {
      owner = participantOf[e.parent];
      topic = lastConditionTopic = topicOf[e.parent];
    } else if (e.what == "waitset") {
      // A wait set is named after the condition created for it just before.
      owner = e.parent;
      topic = lastConditionTopic;
    } else if (e.what == "attach" || e.what == "delete") {
      owner = participantOf[e.handle];
      topic = topicOf[e.handle];
    }
    if (e.what != "attach" && e.what != "delete" && e.rc > 0) {
      participantOf[e.handle] = owner;
      topicOf[e.handle] = topic;
    }
    ownerOf.push_back(owner);
    if (e.what == "delete") {
      const bool known = participantOf.count(e.handle) != 0;
      std::string kind = "unknown";
      for (const Event& c : events) {
        if (c.what != "attach" && c.what != "delete" && c.handle == e.handle) kind = c.what;
      }
      names.push_back(known ? (kind == "participant" ? kind : kind + " " + topic) : "unknown");
    } else {
      names.push_back(e.what == "participant" ? e.what : e.what + " " + topic);
    }
  }
  for (size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    const bool ours = (t.participant != 0 && ownerOf[i] == t.participant) || ownerOf[i] == -1;
    if (!ours) continue;
    if (e.what == "delete") {
      t.deleted.push_back(names[i]);
      t.deleteResults.push_back(e.rc);
    } else {
      t.created.push_back(names[i]);
      t.creations.push_back(e);
    }
  }
  return t;
}

// Creation calls in order, with the checkRc label that a refusal of each must carry.
struct Step {
  const char* call;
  const char* label;
};
const Step kSteps[] = {
    {"participant", "dds_create_participant"},
    {"topic user_mode", "dds_create_topic(user_mode)"},
    {"writer user_mode", "dds_create_writer(user_mode)"},
    {"topic user_command", "dds_create_topic(user_command)"},
    {"reader user_command", "dds_create_reader(user_command)"},
    {"readcondition user_command", "dds_create_readcondition(user_command)"},
    {"waitset user_command", "dds_create_waitset(user_command)"},
    {"attach user_command", "dds_waitset_attach(user_command)"},
    {"topic user_action", "dds_create_topic(user_action)"},
    {"writer user_action", "dds_create_writer(user_action)"},
    {"topic user_gains", "dds_create_topic(user_gains)"},
    {"writer user_gains", "dds_create_writer(user_gains)"},
    {"topic user_obs_request", "dds_create_topic(user_obs_request)"},
    {"writer user_obs_request", "dds_create_writer(user_obs_request)"},
    {"topic user_obs", "dds_create_topic(user_obs)"},
    {"reader user_obs", "dds_create_reader(user_obs)"},
    {"readcondition user_obs", "dds_create_readcondition(user_obs)"},
    {"waitset user_obs", "dds_create_waitset(user_obs)"},
    {"attach user_obs", "dds_waitset_attach(user_obs)"},
};
constexpr int kStepCount = static_cast<int>(sizeof kSteps / sizeof kSteps[0]);

// Children before parents, the wait sets before what they watch.
const std::vector<std::string> kDeleteOrder = {"waitset user_obs",
                                               "readcondition user_obs",
                                               "reader user_obs",
                                               "waitset user_command",
                                               "readcondition user_command",
                                               "reader user_command",
                                               "writer user_obs_request",
                                               "writer user_gains",
                                               "writer user_action",
                                               "writer user_mode",
                                               "topic user_obs",
                                               "topic user_obs_request",
                                               "topic user_gains",
                                               "topic user_action",
                                               "topic user_command",
                                               "topic user_mode",
                                               "participant"};

const std::map<std::string, std::string> kTypeOfTopic = {
    {"user_mode", "core_dds::UserMode"},
    {"user_command", "core_dds::UserCommand"},
    {"user_action", "core_dds::UserAction"},
    {"user_gains", "core_dds::UserGains"},
    {"user_obs_request", "core_dds::UserObsRequest"},
    {"user_obs", "core_dds::UserObservation"}};

size_t participantsIn(int32_t domain) {
  dds_entity_t found[8];
  const dds_return_t n = dds_lookup_participant(static_cast<dds_domainid_t>(domain), found, 8);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

enum class Owner { Endpoints, Robot, Joystick };

std::string ownerName(const ::testing::TestParamInfo<Owner>& info) {
  switch (info.param) {
    case Owner::Endpoints:
      return "Endpoints";
    case Owner::Robot:
      return "Robot";
    default:
      return "Joystick";
  }
}

// Builds and destroys one owner of the entities while the calls are recorded. Returns the
// message of the error construction raised, if any.
std::optional<std::string> buildAndDestroy(Owner owner) {
  std::optional<ParamServer> server;
  if (owner == Owner::Joystick) server.emplace(kRos2Domain);
  g_events.clear();
  g_calls = 0;
  g_recording = true;
  std::optional<std::string> error;
  try {
    switch (owner) {
      case Owner::Endpoints: {
        sdk_dds::DdsConfig config;
        config.domain_id = kDomain;
        sdk_dds::DdsEndpoints ep;
        ep.init(config);
        EXPECT_TRUE(ep.initialised);
        EXPECT_EQ(participantsIn(kDomain), 1u);
        ep.close();
        break;
      }
      case Owner::Robot: {
        robot::Robot r(kDomain, 1);
        EXPECT_EQ(participantsIn(kDomain), 1u);
        break;
      }
      case Owner::Joystick: {
        joystick::Joystick j({}, joystick::CommandRanges{}, kDomain, kRos2Domain);
        EXPECT_EQ(participantsIn(kDomain), 1u);
        break;
      }
    }
  } catch (const std::runtime_error& e) {
    error = e.what();
  }
  g_recording = false;
  return error;
}

class EntityOrder : public ::testing::TestWithParam<Owner> {};

TEST_P(EntityOrder, SeventeenCreationsThenSeventeenDeletions) {
  const auto error = buildAndDestroy(GetParam());
  ASSERT_FALSE(error.has_value()) << *error;
  const Trace t = trace(g_events, kDomain);

  std::vector<std::string> expected;
  for (const Step& s : kSteps) expected.push_back(s.call);
  EXPECT_EQ(t.created, expected);
  EXPECT_EQ(t.deleted, kDeleteOrder);
  for (size_t i = 0; i < t.deleteResults.size(); ++i) {
    EXPECT_EQ(t.deleteResults[i], DDS_RETCODE_OK) << "deleting " << t.deleted[i];
  }
  EXPECT_EQ(participantsIn(kDomain), 0u);

  // What each call was given.
  for (size_t i = 0; i < t.creations.size(); ++i) {
    const Event& e = t.creations[i];
    SCOPED_TRACE(t.created[i]);
    EXPECT_GT(e.rc, -1);
    EXPECT_FALSE(e.listenerGiven);
    if (e.what == "participant") {
      EXPECT_FALSE(e.qosGiven);
    } else if (e.what == "topic") {
      EXPECT_EQ(e.parent, t.participant);
      EXPECT_FALSE(e.qosGiven);  // library defaults for topics
      ASSERT_NE(e.descriptor, nullptr);
      EXPECT_EQ(std::string(e.descriptor->m_typename), kTypeOfTopic.at(e.name));
    } else if (e.what == "writer" || e.what == "reader") {
      EXPECT_EQ(e.parent, t.participant);  // no explicit publisher or subscriber
      ASSERT_TRUE(e.qosGiven);
      EXPECT_EQ(e.history, DDS_HISTORY_KEEP_LAST);
      EXPECT_EQ(e.depth, 1);
      EXPECT_EQ(e.reliability, DDS_RELIABILITY_RELIABLE);
      EXPECT_EQ(e.blocking, DDS_SECS(1));
      const bool kept = t.created[i] == "writer user_mode" || t.created[i] == "writer user_gains";
      EXPECT_EQ(e.durability, kept ? DDS_DURABILITY_TRANSIENT_LOCAL : DDS_DURABILITY_VOLATILE);
    } else if (e.what == "readcondition") {
      EXPECT_EQ(e.mask, DDS_ANY_STATE);
      EXPECT_EQ(e.handle, t.creations[i + 2].attached);  // the one the wait set watches
    } else if (e.what == "waitset") {
      EXPECT_EQ(e.parent, t.participant);
    } else if (e.what == "attach") {
      EXPECT_EQ(e.attachValue, 1);
      EXPECT_EQ(e.handle, t.creations[i - 1].handle);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Owners, EntityOrder,
                         ::testing::Values(Owner::Endpoints, Owner::Robot, Owner::Joystick),
                         ownerName);

// A refusal at any step raises that step's error and deletes, in teardown order, exactly
// what was created before it: nothing is left in the domain.
class RefusedStep : public ::testing::TestWithParam<std::tuple<Owner, int>> {};

TEST_P(RefusedStep, RaisesItsLabelAndLeavesNothing) {
  const auto [owner, step] = GetParam();
  g_failAt = step;
  const auto error = buildAndDestroy(owner);
  g_failAt = 0;
  const Trace t = trace(g_events, kDomain);

  ASSERT_EQ(t.created.size(), static_cast<size_t>(step));
  EXPECT_EQ(t.created.back(), kSteps[step - 1].call);
  const dds_return_t refusal = t.creations.back().rc;
  EXPECT_LT(refusal, 0);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(*error, std::string(kSteps[step - 1].label) + ": " + dds_strretcode(-refusal));

  std::vector<std::string> expected;
  for (const std::string& name : kDeleteOrder) {
    for (int i = 0; i + 1 < step; ++i) {
      if (name == kSteps[i].call) expected.push_back(name);
    }
  }
  EXPECT_EQ(t.deleted, expected);
  for (size_t i = 0; i < t.deleteResults.size(); ++i) {
    EXPECT_EQ(t.deleteResults[i], DDS_RETCODE_OK) << "deleting " << t.deleted[i];
  }
  EXPECT_EQ(participantsIn(kDomain), 0u);
}

INSTANTIATE_TEST_SUITE_P(Steps, RefusedStep,
                         ::testing::Combine(::testing::Values(Owner::Endpoints, Owner::Robot),
                                            ::testing::Range(1, kStepCount + 1)),
                         [](const ::testing::TestParamInfo<std::tuple<Owner, int>>& info) {
                           const Owner owner = std::get<0>(info.param);
                           return std::string(owner == Owner::Robot ? "Robot" : "Endpoints") + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

}  // namespace
