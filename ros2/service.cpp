#include "ros2/service.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <set>
#include <stdexcept>
#include <vector>

#include "ros2/plain_cdr.hpp"

namespace ros2 {
namespace {

bool validToken(const std::string& token) {
  if (token.empty() || std::isdigit(static_cast<unsigned char>(token[0]))) return false;
  for (const char c : token) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

std::string userDataText(const dds_qos_t* qos) {
  void* data = nullptr;
  size_t size = 0;
  if (qos == nullptr || !dds_qget_userdata(qos, &data, &size) || data == nullptr) return {};
  std::string text(static_cast<const char*>(data), size);
  dds_free(data);
  // Some writers include the terminating NUL in the USER_DATA bytes.
  const auto nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

struct EndpointDataDeleter {
  void operator()(dds_builtintopic_endpoint_t* data) const noexcept { dds_builtintopic_free_endpoint(data); }
};
using EndpointData = std::unique_ptr<dds_builtintopic_endpoint_t, EndpointDataDeleter>;

std::vector<dds_instance_handle_t> matchedHandles(dds_entity_t endpoint, bool remoteIsWriter) {
  std::vector<dds_instance_handle_t> handles(8);
  for (;;) {
    const dds_return_t n =
        remoteIsWriter ? dds_get_matched_publications(endpoint, handles.data(), handles.size())
                       : dds_get_matched_subscriptions(endpoint, handles.data(), handles.size());
    checkRc(n, remoteIsWriter ? "dds_get_matched_publications" : "dds_get_matched_subscriptions");
    const auto count = static_cast<size_t>(n);
    // The list may grow between calls: retry until it fits.
    if (count <= handles.size()) {
      handles.resize(count);
      return handles;
    }
    handles.resize(count * 2);
  }
}

std::set<std::string> matchedValues(dds_entity_t endpoint, bool remoteIsWriter, const std::string& key) {
  std::set<std::string> values;
  for (const auto handle : matchedHandles(endpoint, remoteIsWriter)) {
    const auto userData = detail::matchedUserData(endpoint, handle, remoteIsWriter);
    if (!userData) continue;
    if (auto value = userDataValue(*userData, key)) values.insert(std::move(*value));
  }
  return values;
}

Entity makeTopic(dds_entity_t participant, const dds_topic_descriptor_t* type, const std::string& name) {
  return Entity(checkEntity(dds_create_topic(participant, type, name.c_str(), nullptr, nullptr),
                            "dds_create_topic(" + name + ")"));
}

Entity makeWriter(dds_entity_t participant, const Entity& topic, const QosProfile& profile,
                  const std::string& userData, const std::string& topicName) {
  Qos qos;
  detail::fillEndpointQos(qos.get(), profile, userData, true);
  return Entity(checkEntity(dds_create_writer(participant, topic.get(), qos.get(), nullptr),
                            "dds_create_writer(" + topicName + ")"));
}

Entity makeReader(dds_entity_t participant, const Entity& topic, const QosProfile& profile,
                  const std::string& userData, const std::string& topicName) {
  Qos qos;
  detail::fillEndpointQos(qos.get(), profile, userData, false);
  return Entity(checkEntity(dds_create_reader(participant, topic.get(), qos.get(), nullptr),
                            "dds_create_reader(" + topicName + ")"));
}

Entity makeWaitset(dds_entity_t participant, std::initializer_list<dds_entity_t> attached) {
  Entity waitset(checkEntity(dds_create_waitset(participant), "dds_create_waitset"));
  for (const auto entity : attached) checkRc(dds_waitset_attach(waitset.get(), entity, entity), "dds_waitset_attach");
  return waitset;
}

Entity makeReadCondition(const Entity& reader) {
  return Entity(checkEntity(dds_create_readcondition(reader.get(), DDS_ANY_STATE), "dds_create_readcondition"));
}

// Clears a triggered status so the waitset blocks again until the next change.
void resetStatus(const Entity& endpoint, uint32_t mask) {
  uint32_t status = 0;
  (void)dds_take_status(endpoint.get(), &status, mask);
}

// A caller's stop request is asked after every slice of this length that passed without a
// wake; the slices end at the caller's deadline, neither earlier nor later.
constexpr dds_duration_t kStopSlice = DDS_MSECS(50);

RequestWait waitOn(const Entity& waitset, const detail::Deadline& deadline,
                   const std::shared_ptr<detail::ContextState>& state, const StopRequested& stop) {
  for (;;) {
    if (!state->valid()) return RequestWait::Interrupted;
    const dds_duration_t left = deadline.remaining();
    const dds_duration_t slice = stop ? std::min(left, kStopSlice) : left;
    const dds_return_t n = dds_waitset_wait(waitset.get(), nullptr, 0, slice);
    checkRc(n, "dds_waitset_wait");
    if (!state->valid()) return RequestWait::Interrupted;
    if (n > 0) return RequestWait::Ready;
    if (stop && stop()) return RequestWait::Interrupted;
    if (slice >= left) return RequestWait::TimedOut;
  }
}

}  // namespace

ServiceTopics serviceTopics(const std::string& serviceName) {
  const std::string invalid = "invalid service name: '" + serviceName + "'";
  if (serviceName.empty() || serviceName[0] == '~') throw std::invalid_argument(invalid);
  const std::string absolute = serviceName[0] == '/' ? serviceName : "/" + serviceName;
  size_t start = 1;
  for (;;) {
    const size_t slash = absolute.find('/', start);
    if (!validToken(absolute.substr(start, slash == std::string::npos ? std::string::npos : slash - start))) {
      throw std::invalid_argument(invalid);
    }
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return {"rq" + absolute + "Request", "rr" + absolute + "Reply"};
}

std::optional<std::string> userDataValue(const std::string& userData, const std::string& key) {
  size_t start = 0;
  while (start < userData.size()) {
    const size_t end = userData.find(';', start);
    if (end == std::string::npos) break;  // a pair counts only once terminated by ';'
    const std::string pair = userData.substr(start, end - start);
    start = end + 1;
    const size_t equals = pair.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == pair.size()) continue;
    bool keyOk = true;
    for (size_t i = 0; i < equals; ++i) keyOk = keyOk && std::isalnum(static_cast<unsigned char>(pair[i]));
    if (keyOk && pair.compare(0, equals, key) == 0 && equals == key.size()) return pair.substr(equals + 1);
  }
  return std::nullopt;
}

namespace detail {

// QoS of every service endpoint; only USER_DATA differs between client and server.
void fillEndpointQos(dds_qos_t* qos, const QosProfile& profile, const std::string& userData, bool writer) {
  dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, profile.effectiveDepth());
  dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_INFINITY);
  dds_qset_durability(qos, profile.durability == Durability::TransientLocal
                                     ? DDS_DURABILITY_TRANSIENT_LOCAL
                                     : DDS_DURABILITY_VOLATILE);
  dds_qset_liveliness(qos, DDS_LIVELINESS_AUTOMATIC, DDS_INFINITY);
  dds_qset_userdata(qos, userData.data(), userData.size());
  if (writer) {
    dds_qset_writer_data_lifecycle(qos, false);
    // Pin plain CDR: it is what the other side decodes.
    const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
    dds_qset_data_representation(qos, 1, &xcdr1);
  }
}

int64_t nextSequenceNumber() noexcept {
  static std::atomic<int64_t> counter{0};
  return ++counter;
}

Deadline::Deadline(std::chrono::nanoseconds timeout)
    : infinite_(timeout.count() < 0 || timeout >= std::chrono::hours(24 * 365 * 100)),
      end_(infinite_ ? std::chrono::steady_clock::time_point{} : std::chrono::steady_clock::now() + timeout) {}

bool Deadline::expired() const { return !infinite_ && std::chrono::steady_clock::now() >= end_; }

dds_duration_t Deadline::remaining() const {
  if (infinite_) return DDS_INFINITY;
  const auto left = end_ - std::chrono::steady_clock::now();
  return left.count() > 0 ? std::chrono::duration_cast<std::chrono::nanoseconds>(left).count() : 0;
}

std::optional<std::string> matchedUserData(dds_entity_t localEndpoint, dds_instance_handle_t remote,
                                           bool remoteIsWriter) {
  EndpointData data(remoteIsWriter ? dds_get_matched_publication_data(localEndpoint, remote)
                                   : dds_get_matched_subscription_data(localEndpoint, remote));
  if (!data) return std::nullopt;
  return userDataText(data->qos);
}

LoanedSample::LoanedSample(dds_entity_t reader) : reader_(reader) {
  count_ = dds_take(reader_, &sample_, &info_, 1, 1);
  checkRc(count_, "dds_take");
}

LoanedSample::~LoanedSample() {
  if (count_ > 0) (void)dds_return_loan(reader_, &sample_, count_);
}

ClientCore::ClientCore(const Node& node, const std::string& serviceName, const QosProfile& qos,
                       const dds_topic_descriptor_t* requestType, const dds_topic_descriptor_t* replyType)
    : state_(node.contextState()), serviceName_(serviceName) {
  const ServiceTopics topics = serviceTopics(serviceName);
  const dds_entity_t participant = node.participant();
  endpointId_ = state_->nextEndpointId();
  const std::string userData = "clientid=" + endpointId_ + ";";
  requestTopic_ = makeTopic(participant, requestType, topics.request);
  replyTopic_ = makeTopic(participant, replyType, topics.reply);
  // Both endpoints exist, with the same clientid, before any request is written: a
  // server only replies once it sees a reply reader carrying the requester's id.
  requestWriter_ = makeWriter(participant, requestTopic_, qos, userData, topics.request);
  replyReader_ = makeReader(participant, replyTopic_, qos, userData, topics.reply);
  replyCondition_ = makeReadCondition(replyReader_);
  checkRc(dds_set_status_mask(requestWriter_.get(), DDS_PUBLICATION_MATCHED_STATUS), "dds_set_status_mask");
  checkRc(dds_set_status_mask(replyReader_.get(), DDS_SUBSCRIPTION_MATCHED_STATUS), "dds_set_status_mask");
  const dds_entity_t shutdown = state_->shutdownCondition();
  replyWaitset_ = makeWaitset(participant, {replyCondition_.get(), shutdown});
  matchWaitset_ = makeWaitset(participant, {requestWriter_.get(), replyReader_.get(), shutdown});
  dds_instance_handle_t handle = 0;
  checkRc(dds_get_instance_handle(requestWriter_.get(), &handle), "dds_get_instance_handle");
  clientId_ = handle;
  graphEntry_ = GraphEndpoints(node.graph(), node.graphKey(), {entityGid(replyReader_.get())},
                               {entityGid(requestWriter_.get())});
}

bool ClientCore::serviceIsReady() const {
  if (matchedHandles(requestWriter_.get(), false).empty() || matchedHandles(replyReader_.get(), true).empty()) {
    return false;
  }
  const auto requestReaderIds = matchedValues(requestWriter_.get(), false, "serviceid");
  if (requestReaderIds.empty()) return true;  // peers that do not announce ids: matching is all we know
  for (const auto& id : matchedValues(replyReader_.get(), true, "serviceid")) {
    if (requestReaderIds.count(id) != 0) return true;
  }
  return false;
}

bool ClientCore::waitForService(std::chrono::nanoseconds timeout, const StopRequested& stop) {
  const Deadline deadline(timeout);
  for (;;) {
    resetStatus(requestWriter_, DDS_PUBLICATION_MATCHED_STATUS);
    resetStatus(replyReader_, DDS_SUBSCRIPTION_MATCHED_STATUS);
    if (!state_->valid()) return false;
    if (serviceIsReady()) return true;
    if (deadline.expired()) return false;
    if (waitOn(matchWaitset_, deadline, state_, stop) == RequestWait::Interrupted) return false;
  }
}

void ClientCore::writeRequest(const void* sample) {
  checkRc(dds_write(requestWriter_.get(), sample), "failed to send request");
}

RequestWait ClientCore::waitForReply(const Deadline& deadline, const StopRequested& stop) {
  return waitOn(replyWaitset_, deadline, state_, stop);
}

ServerCore::ServerCore(const Node& node, const std::string& serviceName, const QosProfile& qos,
                       const dds_topic_descriptor_t* requestType, const dds_topic_descriptor_t* replyType)
    : state_(node.contextState()), serviceName_(serviceName), replyType_(replyType) {
  const ServiceTopics topics = serviceTopics(serviceName);
  const dds_entity_t participant = node.participant();
  endpointId_ = state_->nextEndpointId();
  const std::string userData = "serviceid=" + endpointId_ + ";";
  requestTopic_ = makeTopic(participant, requestType, topics.request);
  replyTopic_ = makeTopic(participant, replyType, topics.reply);
  requestReader_ = makeReader(participant, requestTopic_, qos, userData, topics.request);
  replyWriter_ = makeWriter(participant, replyTopic_, qos, userData, topics.reply);
  requestCondition_ = makeReadCondition(requestReader_);
  checkRc(dds_set_status_mask(replyWriter_.get(), DDS_PUBLICATION_MATCHED_STATUS), "dds_set_status_mask");
  requestWaitset_ = makeWaitset(participant, {requestCondition_.get(), state_->shutdownCondition()});
  matchWaitset_ = makeWaitset(participant, {replyWriter_.get()});
  graphEntry_ = GraphEndpoints(node.graph(), node.graphKey(), {entityGid(requestReader_.get())},
                               {entityGid(replyWriter_.get())});
}

RequestWait ServerCore::waitForRequest(const Deadline& deadline) { return waitOn(requestWaitset_, deadline, state_, {}); }

bool ServerCore::awaitReplyReader(dds_instance_handle_t requestWriter, std::chrono::nanoseconds maxWait) {
  const auto writerData = matchedUserData(requestReader_.get(), requestWriter, true);
  if (!writerData) return false;  // the requester is gone
  const auto clientId = userDataValue(*writerData, "clientid");
  if (!clientId) return true;  // a peer without ids: nothing to wait for
  const Deadline deadline(maxWait);
  for (;;) {
    resetStatus(replyWriter_, DDS_PUBLICATION_MATCHED_STATUS);
    if (matchedValues(replyWriter_.get(), false, "clientid").count(*clientId) != 0) return true;
    if (deadline.expired()) return false;
    checkRc(dds_waitset_wait(matchWaitset_.get(), nullptr, 0, deadline.remaining()), "dds_waitset_wait");
  }
}

// Replies end in a string, so their length varies: written with the header a ROS 2
// server sends (requests and graph samples always end four-byte aligned and need not).
void ServerCore::writeReply(const void* sample) {
  writePlainCdr(replyWriter_.get(), replyType_, sample, "dds_write(reply)");
}

}  // namespace detail
}  // namespace ros2
