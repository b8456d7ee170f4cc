#include "recorder/recorder.hpp"

#include <dds/ddsi/ddsi_serdata.h>

#include <array>
#include <stdexcept>

#include "core/srv/DynamicParam.h"
#include "core_dds.h"
#include "dds/dds_layer.hpp"

namespace recorder {

struct ReaderSlot {
  Recorder* owner;
  uint32_t channel;
};

namespace {

constexpr uint32_t kTakeBatch = 32;

struct ListenerDeleter {
  void operator()(dds_listener_t* l) const noexcept { dds_delete_listener(l); }
};

// Runs on the DDS thread that delivered the data: the receive time is taken here rather than
// when Python gets round to the queue, and the reader's cache never holds more than a batch.
void onDataAvailable(dds_entity_t reader, void* arg) {
  auto* slot = static_cast<ReaderSlot*>(arg);
  std::array<ddsi_serdata*, kTakeBatch> data{};
  std::array<dds_sample_info_t, kTakeBatch> infos{};
  for (;;) {
    const dds_return_t n = dds_takecdr(reader, data.data(), kTakeBatch, infos.data(), DDS_ANY_STATE);
    if (n <= 0) return;
    const int64_t now = dds_time();
    for (dds_return_t i = 0; i < n; ++i) {
      ddsi_serdata* sd = data[static_cast<std::size_t>(i)];
      const dds_sample_info_t& info = infos[static_cast<std::size_t>(i)];
      // Samples without data only say that a writer went away: nothing to record.
      if (info.valid_data && sd != nullptr) {
        Sample sample{slot->channel, now, info.source_timestamp, {}};
        const uint32_t size = ddsi_serdata_size(sd);
        sample.bytes.resize(size);
        ddsi_serdata_to_ser(sd, 0, size, sample.bytes.data());
        try {
          slot->owner->push(std::move(sample));
        } catch (...) {
          // Out of memory on a library thread: nothing sensible is left to do with the sample.
        }
      }
      if (sd != nullptr) ddsi_serdata_unref(sd);
    }
  }
}

}  // namespace

Recorder::Recorder(int32_t domain, std::optional<int32_t> ros_domain) {
  try {
    const dds_entity_t participant = dds_create_participant(domain, nullptr, nullptr);
    sdk_dds::checkRc(participant, "dds_create_participant");
    participants_.push_back(participant);
    addReader(participant, &core_dds_UserMode_desc, "user_mode", true, false);
    addReader(participant, &core_dds_UserCommand_desc, "user_command", false, false);
    addReader(participant, &core_dds_UserAction_desc, "user_action", false, false);
    addReader(participant, &core_dds_UserGains_desc, "user_gains", true, false);
    addReader(participant, &core_dds_UserObsRequest_desc, "user_obs_request", false, false);
    addReader(participant, &core_dds_UserObservation_desc, "user_obs", false, false);
    if (ros_domain) {
      const dds_entity_t ros = dds_create_participant(*ros_domain, nullptr, nullptr);
      sdk_dds::checkRc(ros, "dds_create_participant");
      participants_.push_back(ros);
      addReader(ros, &core_srv_dds__DynamicParam_Request__desc, "rq/dynamic_param_configRequest",
                false, true);
      addReader(ros, &core_srv_dds__DynamicParam_Response__desc, "rr/dynamic_param_configReply",
                false, true);
    }
  } catch (...) {
    close();
    throw;
  }
}

Recorder::~Recorder() { close(); }

void Recorder::close() noexcept {
  // Deleting a participant deletes its readers and waits for listeners still running.
  for (const dds_entity_t p : participants_) dds_delete(p);
  participants_.clear();
  readers_.clear();
}

void Recorder::addReader(dds_entity_t participant, const dds_topic_descriptor_t* descriptor,
                         const std::string& topic, bool transientLocal, bool service) {
  const dds_entity_t t = dds_create_topic(participant, descriptor, topic.c_str(), nullptr, nullptr);
  sdk_dds::checkRc(t, "dds_create_topic(" + topic + ")");

  // Matching: a reliable reader matches the reliable writers of the SDK, the controller and
  // ROS 2; a transient-local reader still matches a transient-local writer and also gets the
  // mode and the gains written before it matched: a program's first gains often come before
  // discovery between it and the recorder is complete. Keep-all, because the listener empties the
  // cache at once and nothing may be overwritten before it does. Both encodings accepted,
  // whatever a writer picks.
  sdk_dds::QosPtr qos(dds_create_qos());
  if (!qos) throw std::runtime_error("dds_create_qos failed");
  dds_qset_history(qos.get(), DDS_HISTORY_KEEP_ALL, 0);
  dds_qset_reliability(qos.get(), DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
  dds_qset_durability(qos.get(), transientLocal ? DDS_DURABILITY_TRANSIENT_LOCAL : DDS_DURABILITY_VOLATILE);
  const std::array<dds_data_representation_id_t, 2> representations{DDS_DATA_REPRESENTATION_XCDR1,
                                                                    DDS_DATA_REPRESENTATION_XCDR2};
  dds_qset_data_representation(qos.get(), 2, representations.data());

  const auto channel = static_cast<uint32_t>(channels_.size());
  slots_.push_back(std::make_unique<ReaderSlot>(ReaderSlot{this, channel}));
  std::unique_ptr<dds_listener_t, ListenerDeleter> listener(dds_create_listener(slots_.back().get()));
  dds_lset_data_available(listener.get(), onDataAvailable);
  channels_.push_back({topic, descriptor->m_typename, service});
  const dds_entity_t reader = dds_create_reader(participant, t, qos.get(), listener.get());
  sdk_dds::checkRc(reader, "dds_create_reader(" + topic + ")");
  readers_.push_back(reader);
}

void Recorder::push(Sample&& sample) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(sample));
    if (queue_.size() > peak_) peak_ = queue_.size();
    wake = queue_.size() == kBatch;
  }
  if (wake) ready_.notify_one();
}

std::vector<Sample> Recorder::drain(std::chrono::milliseconds timeout) {
  std::vector<Sample> out;
  std::unique_lock<std::mutex> lock(mutex_);
  // Woken by a full batch, not by every sample: on a loaded robot computer a consumer that
  // woke at the control rate would compete with the control loop it records.
  ready_.wait_for(lock, timeout, [this] { return queue_.size() >= kBatch; });
  out.swap(queue_);
  return out;
}

uint32_t Recorder::matchedWriters(uint32_t channel) const {
  if (channel >= readers_.size()) throw std::out_of_range("no such channel");
  const dds_return_t n = dds_get_matched_publications(readers_[channel], nullptr, 0);
  sdk_dds::checkRc(n, "dds_get_matched_publications(" + channels_[channel].topic + ")");
  return static_cast<uint32_t>(n);
}

std::size_t Recorder::peakQueue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peak_;
}

}  // namespace recorder
