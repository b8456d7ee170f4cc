#include "ros2/entity.hpp"

#include <new>
#include <stdexcept>

namespace ros2 {

void checkRc(dds_return_t rc, const std::string& what) {
  if (rc < 0) throw std::runtime_error(what + ": " + dds_strretcode(rc));
}

dds_entity_t checkEntity(dds_entity_t entity, const std::string& what) {
  checkRc(entity, what);
  return entity;
}

Entity& Entity::operator=(Entity&& other) noexcept {
  if (this != &other) {
    reset();
    handle_ = other.release();
  }
  return *this;
}

dds_entity_t Entity::release() noexcept {
  const dds_entity_t handle = handle_;
  handle_ = 0;
  return handle;
}

void Entity::reset() noexcept {
  if (handle_ > 0) (void)dds_delete(handle_);
  handle_ = 0;
}

Qos::Qos() : qos_(dds_create_qos()) {
  if (qos_ == nullptr) throw std::bad_alloc();
}

Qos::~Qos() { dds_delete_qos(qos_); }

std::string hex(const unsigned char* bytes, size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0xf];
  }
  return text;
}

}  // namespace ros2
