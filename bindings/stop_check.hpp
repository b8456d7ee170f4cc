#pragma once

// Waits that can be stopped. A native wait asks its StopCheck "should I stop now?" at least
// every kStopCheckInterval while it blocks; the bindings answer it (with Python's pending
// signal handlers), the native classes only know the question. A wait is never shortened or
// lengthened by the asking: it is cut into slices that end at the same deadline.

#include <dds/dds.h>

#include <algorithm>
#include <exception>
#include <functional>

namespace bindings {

// True when the wait in progress must end at once. Empty: never.
using StopCheck = std::function<bool()>;

// Thrown by a wait whose StopCheck answered true. Whoever answered holds the reason (for the
// bindings, the Python exception a signal handler raised).
struct Stopped : std::exception {
  const char* what() const noexcept override { return "wait stopped"; }
};

inline constexpr dds_duration_t kStopCheckInterval = DDS_MSECS(50);

inline void checkStop(const StopCheck& stop) {
  if (stop && stop()) throw Stopped();
}

// dds_waitset_wait_until in slices: the same result, and the StopCheck asked after every slice
// that ended without a trigger (the last one included). Throws Stopped.
inline dds_return_t waitsetWaitUntil(dds_entity_t waitset, dds_attach_t* triggered, size_t n,
                                     dds_time_t deadline, const StopCheck& stop) {
  for (;;) {
    const dds_time_t now = dds_time();
    const dds_time_t slice_end = deadline - now > kStopCheckInterval ? now + kStopCheckInterval
                                                                     : deadline;
    const dds_return_t rc = dds_waitset_wait_until(waitset, triggered, n, slice_end);
    if (rc != 0) return rc;
    checkStop(stop);
    if (slice_end >= deadline) return 0;
  }
}

// dds_waitset_wait for `timeout` (DDS_INFINITY: no limit), in slices as above.
inline dds_return_t waitsetWait(dds_entity_t waitset, dds_attach_t* triggered, size_t n,
                                dds_duration_t timeout, const StopCheck& stop) {
  const dds_time_t now = dds_time();
  const dds_time_t deadline = timeout >= DDS_INFINITY - now ? DDS_NEVER : now + timeout;
  return waitsetWaitUntil(waitset, triggered, n, deadline, stop);
}

// dds_wait_for_acks for `timeout`, in slices as above: DDS_RETCODE_TIMEOUT only when the whole
// time has passed.
inline dds_return_t waitForAcks(dds_entity_t writer, dds_duration_t timeout,
                                const StopCheck& stop) {
  const dds_time_t deadline = dds_time() + timeout;
  for (;;) {
    const dds_duration_t left = std::max<dds_duration_t>(deadline - dds_time(), 0);
    const dds_return_t rc = dds_wait_for_acks(writer, std::min(left, kStopCheckInterval));
    if (rc != DDS_RETCODE_TIMEOUT) return rc;
    checkStop(stop);
    if (left <= kStopCheckInterval) return rc;
  }
}

}  // namespace bindings
