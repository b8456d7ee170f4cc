// Python surface of joystick::Joystick: argument conversion (cmd_range included),
// registrations, and the result dictionary of get_cmd.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/initialised_self.hpp"
#include "bindings/python_stop.hpp"
#include "joystick/joystick.hpp"

namespace py = pybind11;

namespace {

const char* const kStepX = "dpad_step_x";
const char* const kStepY = "dpad_step_y";

bool toDouble(py::handle value, double& out) {
  py::detail::make_caster<double> caster;
  if (!caster.load(value, /*convert=*/true)) return false;
  out = py::detail::cast_op<double>(caster);
  return true;
}

std::runtime_error invalidValue(const std::string& key) {
  return std::runtime_error("cmd_range has invalid value: " + key);
}

// A cmd_range key as bytes: a bytes key as it is, a str key in UTF-8 with anything that
// cannot be encoded (lone surrogates) written as an escape, so that it reads as an invalid
// key rather than failing the conversion. Other key types fail in the cast.
std::string rangeKey(py::handle key) {
  if (PyUnicode_Check(key.ptr())) {
    const auto utf8 = py::reinterpret_steal<py::bytes>(
        PyUnicode_AsEncodedString(key.ptr(), "utf-8", "backslashreplace"));
    if (!utf8) throw py::error_already_set();
    return std::string(utf8);
  }
  return key.cast<std::string>();
}

// cmd_range (None, a dict, or anything dict() accepts) to its native form. Only the shape
// of each entry is checked here; finiteness and order are the constructor's checks.
joystick::CommandRanges parseCmdRange(const py::object& cmd_range) {
  joystick::CommandRanges out;
  if (cmd_range.is_none()) return out;
  const py::dict entries(cmd_range);  // dict(cmd_range) unless it already is one
  for (const auto& [borrowed_key, borrowed_value] : entries) {
    // Owned, so that a conversion that mutates the dictionary cannot free them under us.
    const auto py_key = py::reinterpret_borrow<py::object>(borrowed_key);
    const auto value = py::reinterpret_borrow<py::object>(borrowed_value);
    const std::string key = rangeKey(py_key);
    if (joystick::isCommandKey(key)) {
      if (!py::isinstance<py::list>(value) && !py::isinstance<py::tuple>(value)) {
        throw invalidValue(key);
      }
      // The items it really holds, whatever a subclass's __len__ claims; and our own
      // references to them, so that an item's __float__ cannot free its neighbour.
      const py::tuple pair = py::tuple(value);
      if (pair.size() != 2) throw invalidValue(key);
      double low = 0.0;
      double high = 0.0;
      if (!toDouble(pair[0], low) || !toDouble(pair[1], high)) throw invalidValue(key);
      out.ranges[key] = {low, high};
    } else if (key == kStepX || key == kStepY) {
      double step = 0.0;
      if (!toDouble(value, step)) throw invalidValue(key);
      (key == kStepX ? out.dpad_step_x : out.dpad_step_y) = step;
    } else {
      throw std::runtime_error("cmd_range has invalid key: " + joystick::printableKey(key));
    }
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(joystick, m) {
  m.doc() = "Joystick bindings";

  py::class_<joystick::Joystick>(m, "Joystick")
      .def(py::init([](const std::vector<std::string>& cmd_mapping, const py::object& cmd_range,
                       int32_t dds_domain_id, int32_t ros2_domain_id) {
             const joystick::CommandRanges ranges = parseCmdRange(cmd_range);
             // SIGINT and SIGTERM also shut the ROS 2 side down, which ends the service
             // waits with their own failure before Python is asked.
             return bindings::callStoppable(
                 [&] {
                   return std::make_unique<joystick::Joystick>(cmd_mapping, ranges,
                                                               dds_domain_id, ros2_domain_id,
                                                               bindings::pythonStopCheck());
                 },
                 /*signals_end_waits=*/true);
           }),
           py::arg("cmd_mapping") = std::vector<std::string>{}, py::arg("cmd_range") = py::none(),
           py::arg("dds_domain_id") = 1, py::arg("ros2_domain_id") = 0)
      .def("get_cmd", [](bindings::InitialisedSelf<joystick::Joystick> self) {
        const std::vector<double> values = bindings::callStoppable([&] { return self->getCmd(); });
        py::list vector(values.size());
        for (size_t i = 0; i < values.size(); ++i) vector[i] = py::float_(values[i]);
        py::dict result;
        result["cmd_vector"] = std::move(vector);
        return result;
      });
}
