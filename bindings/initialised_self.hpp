#pragma once

// `self` for the members of a bound class, refused with TypeError when the instance's
// __init__ never ran. pybind11 hands such an instance's members freshly allocated, never
// constructed storage (its lazy allocation for placement construction), so a member called
// on `Cls.__new__(Cls)` would run on garbage.

#include <pybind11/pybind11.h>

#include <string>

namespace bindings {

template <typename T>
struct InitialisedSelf {
  T* native = nullptr;
  T* operator->() const noexcept { return native; }
};

}  // namespace bindings

namespace pybind11::detail {

template <typename T>
struct type_caster<bindings::InitialisedSelf<T>> {
  // Named like the class itself, so signatures and stubs read "self: module.Cls".
  PYBIND11_TYPE_CASTER(bindings::InitialisedSelf<T>, type_caster_base<T>::name);

  bool load(handle src, bool /*convert*/) {
    const type_info* info = get_type_info(typeid(T));
    if (info == nullptr || !PyObject_TypeCheck(src.ptr(), info->type)) return false;
    value_and_holder vh = reinterpret_cast<instance*>(src.ptr())->get_value_and_holder(info, false);
    if (!vh || !vh.holder_constructed() || vh.value_ptr() == nullptr) {
      throw type_error(std::string(info->type->tp_name) +
                       " object is not initialised: its __init__ was never called");
    }
    value.native = vh.template value_ptr<T>();
    return true;
  }

  static handle cast(const bindings::InitialisedSelf<T>&, return_value_policy, handle) {
    return none().release();
  }
};

}  // namespace pybind11::detail
