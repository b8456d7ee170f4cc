// Python surface of joystick::Joystick: argument conversion (cmd_range included),
// registrations, and the result dictionary of get_cmd.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

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

// cmd_range (None, a dict, or anything dict() accepts) to its native form. Only the shape
// of each entry is checked here; finiteness and order are the constructor's checks.
joystick::CommandRanges parseCmdRange(const py::object& cmd_range) {
  joystick::CommandRanges out;
  if (cmd_range.is_none()) return out;
  const py::dict entries(cmd_range);  // dict(cmd_range) unless it already is one
  for (const auto& [py_key, value] : entries) {
    const auto key = py_key.cast<std::string>();
    if (joystick::isCommandKey(key)) {
      if (!py::isinstance<py::list>(value) && !py::isinstance<py::tuple>(value)) {
        throw invalidValue(key);
      }
      if (py::len(value) != 2) throw invalidValue(key);
      double low = 0.0;
      double high = 0.0;
      const py::sequence pair = py::reinterpret_borrow<py::sequence>(value);
      if (!toDouble(pair[0], low) || !toDouble(pair[1], high)) throw invalidValue(key);
      out.ranges[key] = {low, high};
    } else if (key == kStepX || key == kStepY) {
      double step = 0.0;
      if (!toDouble(value, step)) throw invalidValue(key);
      (key == kStepX ? out.dpad_step_x : out.dpad_step_y) = step;
    } else {
      throw std::runtime_error("cmd_range has invalid key: " + key);
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
             return std::make_unique<joystick::Joystick>(cmd_mapping, ranges, dds_domain_id,
                                                         ros2_domain_id);
           }),
           py::arg("cmd_mapping") = std::vector<std::string>{}, py::arg("cmd_range") = py::none(),
           py::arg("dds_domain_id") = 1, py::arg("ros2_domain_id") = 0)
      .def("get_cmd", [](joystick::Joystick& self) {
        const std::vector<double> values = self.getCmd();
        py::list vector(values.size());
        for (size_t i = 0; i < values.size(); ++i) vector[i] = py::float_(values[i]);
        py::dict result;
        result["cmd_vector"] = std::move(vector);
        return result;
      });
}
