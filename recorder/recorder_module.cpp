// Python surface of recorder::Recorder: conversions and registrations only.
#include <pybind11/chrono.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "recorder/recorder.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_tarvek_record, m) {
  m.doc() = "Passive DDS readers of the SDK's topics, handing over samples as received bytes";

  py::class_<recorder::Recorder>(m, "Recorder")
      .def(py::init<int32_t, std::optional<int32_t>>(), py::arg("domain"), py::arg("ros_domain") = py::none())
      .def_property_readonly("channels",
                             [](const recorder::Recorder& r) {
                               py::list out;
                               for (const auto& c : r.channels()) {
                                 out.append(py::make_tuple(c.topic, c.type_name, c.service));
                               }
                               return out;
                             })
      .def(
          "drain",
          [](recorder::Recorder& r, double timeout_s) {
            std::vector<recorder::Sample> batch;
            {
              // Waiting and DDS delivery need no interpreter; other threads and signal
              // handlers run meanwhile.
              py::gil_scoped_release release;
              batch = r.drain(std::chrono::milliseconds(static_cast<int64_t>(timeout_s * 1000.0)));
            }
            py::list out(batch.size());
            for (std::size_t i = 0; i < batch.size(); ++i) {
              auto& s = batch[i];
              out[i] = py::make_tuple(s.channel, s.receive_time, s.source_time,
                                      py::bytes(s.bytes.data(), s.bytes.size()));
            }
            return out;
          },
          py::arg("timeout"),
          "Waits up to timeout seconds or until a batch is queued, then returns every queued "
          "sample as "
          "(channel, receive_time_ns, source_time_ns, bytes).")
      .def("close", &recorder::Recorder::close, "Deletes the readers; queued samples stay.")
      .def("matched_writers", &recorder::Recorder::matchedWriters, py::arg("channel"))
      .def_property_readonly("peak_queue", &recorder::Recorder::peakQueue);
}
