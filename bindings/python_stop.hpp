#pragma once

// The bindings' side of stoppable waits: a native wait asks Python whether to stop, Python
// runs its pending signal handlers (on the main thread, with the GIL the call holds anyway),
// and an exception one of them raised leaves the call unchanged.

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <utility>

#include "bindings/stop_check.hpp"

namespace bindings {

// True when a signal handler raised: its exception stays set as Python's current error until
// the call that waited leaves the native code (callStoppable).
inline bool pythonSignalRaised() { return PyErr_CheckSignals() != 0; }

inline StopCheck pythonStopCheck() { return &pythonSignalRaised; }

namespace detail {

// The handler's exception, with the native failure that ended the wait meanwhile as its
// __context__, as if the failure had been raised first.
[[noreturn]] inline void raiseWithNativeContext(PyObject* native_type, const char* what) {
  pybind11::error_already_set handler_error;
  PyErr_SetString(native_type, what);
  pybind11::error_already_set native_error;
  PyException_SetContext(handler_error.value().ptr(), native_error.value().inc_ref().ptr());
  handler_error.restore();
  throw pybind11::error_already_set();
}

}  // namespace detail

// Runs a native call whose waits ask pythonStopCheck. An exception a signal handler raised
// meanwhile reaches Python as it was raised. With `signals_end_waits` (a wait that a signal
// can also end natively, as the ROS 2 side's shutdown does), a native failure is first taken
// as the signal's work: a handler that raises then wins, with the failure as its context.
template <class Call>
auto callStoppable(Call&& call, bool signals_end_waits = false) -> decltype(call()) {
  try {
    return std::forward<Call>(call)();
  } catch (const pybind11::error_already_set&) {
    throw;
  } catch (const Stopped&) {
    if (PyErr_Occurred() == nullptr) throw std::runtime_error("wait stopped");
    throw pybind11::error_already_set();
  } catch (const std::exception& e) {
    if (PyErr_Occurred() == nullptr && !(signals_end_waits && pythonSignalRaised())) throw;
    const bool invalid_argument = dynamic_cast<const std::invalid_argument*>(&e) != nullptr;
    detail::raiseWithNativeContext(invalid_argument ? PyExc_ValueError : PyExc_RuntimeError,
                                   e.what());
  }
}

}  // namespace bindings
