#include "doctor/acks.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "dds/dds_layer.hpp"

namespace doctor {
namespace {

std::string secondsText(double s) {
  char buffer[32];
  if (s < 1) {
    std::snprintf(buffer, sizeof buffer, "%.1f ms", s * 1e3);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.2f s", s);
  }
  return buffer;
}

// Deletes the probe's topic and writer however the measurement ends.
struct Entities {
  dds_entity_t topic = 0;
  dds_entity_t writer = 0;
  ~Entities() {
    if (writer > 0) (void)dds_delete(writer);
    if (topic > 0) (void)dds_delete(topic);
  }
};

}  // namespace

double AckMeasurement::longest() const {
  return seconds.empty() ? 0 : *std::max_element(seconds.begin(), seconds.end());
}

AckMeasurement measureAcknowledgements(dds_entity_t participant, const ExpectedEndpoint& request,
                                       const DomainSnapshot& snapshot) {
  AckMeasurement m;
  m.attempted = std::any_of(snapshot.endpoints.begin(), snapshot.endpoints.end(), [&](const auto& e) {
    return e.topic == request.topic && e.side == Side::Reader;
  });
  if (!m.attempted) return m;
  // The SDK's own writer settings, so the controller treats the probe as it treats a Robot.
  const sdk_dds::DdsConfig catalogue;
  const sdk_dds::QosPtr qos = sdk_dds::makeQos(catalogue.user_obs_request);
  Entities e;
  e.topic = dds_create_topic(participant, &core_dds_UserObsRequest_desc,
                             catalogue.user_obs_request.name.c_str(), nullptr, nullptr);
  if (e.topic < 0) return m;
  e.writer = dds_create_writer(participant, e.topic, qos.get(), nullptr);
  if (e.writer < 0) return m;
  // The controller's reader is known already, so the writer matches it at once unless the
  // types or QoS differ (which the rest of the report explains).
  const auto matchDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  dds_publication_matched_status_t status{};
  while (dds_get_publication_matched_status(e.writer, &status) == DDS_RETCODE_OK &&
         status.current_count == 0 && std::chrono::steady_clock::now() < matchDeadline) {
    dds_sleepfor(DDS_MSECS(10));
  }
  m.matched = status.current_count > 0;
  if (!m.matched) return m;
  // Time for the controller to learn of the writer in turn: a request it has not matched yet
  // would be acknowledged only after its discovery, which is not what finish() meets.
  dds_sleepfor(DDS_MSECS(300));
  core_dds_UserObsRequest sample{true};
  for (int i = 0; i < kAckSamples; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (dds_write(e.writer, &sample) != DDS_RETCODE_OK) break;
    const dds_return_t rc =
        dds_wait_for_acks(e.writer, static_cast<dds_duration_t>(kAckTimeoutSeconds * 1e9));
    if (rc != DDS_RETCODE_OK) {
      m.timedOut = true;
      break;
    }
    m.seconds.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    dds_sleepfor(DDS_MSECS(100));
  }
  return m;
}

std::vector<Problem> ackProblems(const AckMeasurement& acks) {
  if (acks.timedOut) {
    return {{"no_acknowledgement",
             "The controller did not acknowledge an observation request within " +
                 secondsText(kAckTimeoutSeconds) +
                 ": finish() would raise \"dds_wait_for_acks(user_mode)\" after its 1-s wait; "
                 "the controller's reliable readers must answer heartbeats (check their "
                 "heartbeat response delay and that the network carries its replies)."}};
  }
  if (!acks.tooSlow()) return {};
  const double left = kFinishWaitSeconds - acks.longest();
  const std::string margin =
      left > 0 ? "which leaves " + secondsText(left) + ", less than half, so it raises on a busy link"
               : "so it raises \"dds_wait_for_acks(user_mode)\" whenever an acknowledgement takes "
                 "that long";
  return {{"slow_acknowledgement",
           "The controller took up to " + secondsText(acks.longest()) +
               " to acknowledge an observation request: finish() waits 1 s for the "
               "acknowledgement of user mode off, " + margin +
               "; set the heartbeat response delay of the controller's reliable readers to a few "
               "milliseconds."}};
}

std::string ackText(const AckMeasurement& acks) {
  if (!acks.attempted) return "not measured (the controller has no reader of user_obs_request)";
  if (!acks.matched) return "not measured (the controller's user_obs_request reader does not match)";
  std::string text;
  for (const double s : acks.seconds) text += (text.empty() ? "" : ", ") + secondsText(s);
  if (acks.timedOut) text += (text.empty() ? "" : ", then ") + std::string("none within ") +
                             secondsText(kAckTimeoutSeconds);
  return text + " (finish() waits up to 1 s)";
}

}  // namespace doctor
