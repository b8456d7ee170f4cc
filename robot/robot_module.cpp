// Python surface of robot::Robot: conversions and registrations only.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "robot/robot.hpp"

namespace py = pybind11;

PYBIND11_MODULE(robot, m) {
  m.doc() = "DDS robot client bindings";

  py::class_<robot::Robot>(m, "Robot")
      .def(py::init<int32_t, int32_t>(), py::arg("dds_domain_id") = 1,
           py::arg("wait_obs_timeout_ms") = 1)
      .def("enable_user_mode", &robot::Robot::enableUserMode)
      .def("finish", &robot::Robot::finish)
      .def("set_gains", &robot::Robot::setGains, py::arg("kp"), py::arg("kd"))
      .def("get_obs", &robot::Robot::getObs)
      .def("do_action", &robot::Robot::doAction, py::arg("action"),
           py::arg("torque_ctrl") = false);
}
