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

// The reference read in help(), over ssh on the robot: what a member sends, how long it may
// wait and each error with its exact text. Lines stay within a terminal's 80 columns once
// help() indents them.

const char* const kInitDoc = R"doc(Reads the operator's gamepad as the robot publishes it, and configures
the robot once for it.

cmd_mapping: which keys get_cmd returns, in this order, each at most
  once, from left_x, left_y, right_x, right_y, dpad_x, dpad_y, left_btn
  and right_btn. Empty: all eight, in the order left_y, right_x, left_x,
  right_y, dpad_x, dpad_y, left_btn, right_btn.
cmd_range: None, or a dict (or anything dict() accepts) of key to
  [low, high], and the d-pad steps dpad_step_x and dpad_step_y (at
  least 0; 0.1 when not given).
dds_domain_id: the robot's DDS domain; its runtime state file gives the
  gains sent (the defaults when there is none).
ros2_domain_id: the ROS 2 domain, joined by a process's first Joystick;
  later ones reuse it. That first one also installs SIGINT and SIGTERM
  handlers that shut the ROS 2 side down and chain to the ones before.

Sends one request to the robot's /dynamic_param_config service (mapping
slots, ranges, d-pad steps, gains): waits up to 3 s for the service,
then up to 5 s for its answer.

Raises, before anything touches the network:
  RuntimeError "cmd_mapping is too long: expected at most 8",
    "cmd_mapping has invalid key: <key>",
    "cmd_mapping keys must be unique",
    "cmd_range has invalid key: <key>",
    "cmd_range has invalid value: <key>" (not a pair of numbers, or a
    d-pad step that is negative or not finite),
    "cmd_range has non-finite range: <key>",
    "cmd_range has invalid range: <key>" (low above high).
  A key is shown whole; NUL and bytes that are not UTF-8 are written as
  hexadecimal escapes.
Raises afterwards:
  RuntimeError "dynamic_param service is unavailable" (none within 3 s),
    "dynamic_param service request timed out" (no answer within 5 s),
    "dynamic_param service request failed" (the ROS 2 side shut down),
    "dynamic_param request rejected" or
    "dynamic_param request rejected: <robot's message>".
  RuntimeError "<DDS call>: <reason>" when DDS refuses an entity.
  RuntimeError "Joystick cannot be created in a process forked from one
    that uses DDS; use multiprocessing's 'spawn' or 'forkserver' start
    method and create the Joystick in the new process".
  TypeError for an argument of the wrong type: a str as cmd_mapping, a
    float domain id, an id that does not fit in 32 bits.
  KeyboardInterrupt (or a signal handler's own exception) within 100 ms
    of Ctrl-C in either wait, with the ROS 2 side's failure (one of the
    service messages above) as its context.)doc";

const char* const kGetCmdDoc = R"doc(Returns the newest gamepad command: {"cmd_vector": [...]}.

One float per key of cmd_mapping, in its order; zeros when no new
command arrived within 10 ms, the longest this waits. Call it at or
below the robot's publishing rate. Sends nothing.

Raises:
  RuntimeError "dds_waitset_wait(user_command): <reason>".
  RuntimeError "Joystick was created in another process (this is a
    forked child); use multiprocessing's 'spawn' or 'forkserver' start
    method and create the Joystick in the new process".
  TypeError "joystick.Joystick object is not initialised: its __init__
    was never called".
  KeyboardInterrupt (or a signal handler's own exception) within 100 ms
    of Ctrl-C in the wait.)doc";

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
           py::arg("dds_domain_id") = 1, py::arg("ros2_domain_id") = 0, kInitDoc)
      .def(
          "get_cmd",
          [](bindings::InitialisedSelf<joystick::Joystick> self) {
            const std::vector<double> values =
                bindings::callStoppable([&] { return self->getCmd(); });
            py::list vector(values.size());
            for (size_t i = 0; i < values.size(); ++i) vector[i] = py::float_(values[i]);
            py::dict result;
            result["cmd_vector"] = std::move(vector);
            return result;
          },
          kGetCmdDoc);
}
