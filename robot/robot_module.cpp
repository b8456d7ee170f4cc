// Python surface of robot::Robot: conversions and registrations only.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/initialised_self.hpp"
#include "bindings/python_stop.hpp"
#include "robot/robot.hpp"

namespace py = pybind11;

using Self = bindings::InitialisedSelf<robot::Robot>;
using bindings::callStoppable;

PYBIND11_MODULE(robot, m) {
  m.doc() = "DDS robot client bindings";

  py::class_<robot::Robot>(m, "Robot")
      .def(py::init([](int32_t dds_domain_id, int32_t wait_obs_timeout_ms) {
             return std::make_unique<robot::Robot>(dds_domain_id, wait_obs_timeout_ms,
                                                   bindings::pythonStopCheck());
           }),
           py::arg("dds_domain_id") = 1, py::arg("wait_obs_timeout_ms") = 1)
      .def("enable_user_mode", [](Self self) { callStoppable([&] { self->enableUserMode(); }); })
      .def("finish", [](Self self) { callStoppable([&] { self->finish(); }); })
      .def(
          "set_gains",
          [](Self self, const robot::FloatVector& kp, const robot::FloatVector& kd) {
            callStoppable([&] { self->setGains(kp, kd); });
          },
          py::arg("kp"), py::arg("kd"))
      .def("get_obs", [](Self self) { return callStoppable([&] { return self->getObs(); }); })
      .def(
          "do_action",
          [](Self self, const robot::FloatVector& action, bool torque_ctrl) {
            callStoppable([&] { self->doAction(action, torque_ctrl); });
          },
          py::arg("action"), py::arg("torque_ctrl") = false);
}
