#pragma once
// A listener on the SDK's six topics (and, when asked, the configuration service's request
// and reply topics) that keeps every sample as the bytes received.

#include <dds/dds.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace recorder {

struct Sample {
  uint32_t channel;       // index into Recorder::channels()
  int64_t receive_time;   // ns since the epoch, taken on the DDS thread that delivered it
  int64_t source_time;    // the writer's source time stamp, ns since the epoch
  std::string bytes;      // serialized form: encapsulation header and body, unchanged
};

struct Channel {
  std::string topic;
  std::string type_name;  // the DDS type name
  bool service = false;   // on the ROS 2 domain
};

struct ReaderSlot;

class Recorder {
 public:
  // ros_domain: also record the configuration service on that DDS domain.
  Recorder(int32_t domain, std::optional<int32_t> ros_domain);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  const std::vector<Channel>& channels() const noexcept { return channels_; }
  // Samples that wake a waiting drain() before its time-out.
  static constexpr std::size_t kBatch = 4096;

  // Waits up to `timeout` or until a batch is queued, then hands over everything queued.
  std::vector<Sample> drain(std::chrono::milliseconds timeout);
  // Writers currently matched with the channel's reader.
  uint32_t matchedWriters(uint32_t channel) const;
  // Largest number of samples that waited in the queue at once (a sign of a slow consumer).
  std::size_t peakQueue() const;

  void push(Sample&& sample);
  // Deletes the readers; samples already queued stay for drain(). Never throws.
  void close() noexcept;

 private:
  void addReader(dds_entity_t participant, const dds_topic_descriptor_t* descriptor,
                 const std::string& topic, bool transientLocal, bool service);

  std::vector<Channel> channels_;
  std::vector<dds_entity_t> participants_;
  std::vector<dds_entity_t> readers_;
  std::vector<std::unique_ptr<ReaderSlot>> slots_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<Sample> queue_;
  std::size_t peak_ = 0;
};

}  // namespace recorder
