#pragma once
// How long the controller takes to acknowledge a sample, measured rather than guessed:
// finish() waits 1 s for the acknowledgement of switching user mode off, so a controller
// that answers heartbeats late leaves it little margin. The probe is an observation
// request, the one sample that cannot move the robot (the controller answers it with an
// observation and nothing else).
#include <dds/dds.h>

#include <string>
#include <vector>

#include "doctor/diagnosis.hpp"

namespace doctor {

constexpr int kAckSamples = 5;
constexpr double kAckTimeoutSeconds = 2.0;
constexpr double kFinishWaitSeconds = 1.0;

struct AckMeasurement {
  bool attempted = false;       // the controller has a reader of the request topic
  bool matched = false;         // the probe's writer matched it
  std::vector<double> seconds;  // one per acknowledged request
  bool timedOut = false;        // a request was not acknowledged within kAckTimeoutSeconds

  double longest() const;
  // Leaves finish() less than half of its wait.
  bool tooSlow() const { return timedOut || (!seconds.empty() && longest() > kFinishWaitSeconds / 2); }
};

// Writes kAckSamples observation requests, 0.1 s apart, on `participant`'s domain when `snapshot` shows a
// reader of `request.topic` on the controller's side, timing each acknowledgement.
AckMeasurement measureAcknowledgements(dds_entity_t participant, const ExpectedEndpoint& request,
                                       const DomainSnapshot& snapshot);

std::vector<Problem> ackProblems(const AckMeasurement& acks);

// "0.004 s, 0.003 s, 0.003 s" or why nothing was measured.
std::string ackText(const AckMeasurement& acks);

}  // namespace doctor
