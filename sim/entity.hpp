#pragma once

#include <dds/dds.h>

#include <utility>

namespace sim {

// Sole owner of one DDS entity handle; deletes it on destruction and never throws.
// Declare children after their parent, so that they are destroyed first: deleting a parent
// deletes its children, and a stale handle must never reach dds_delete.
class Entity {
 public:
  Entity() = default;
  explicit Entity(dds_entity_t handle) : handle_(handle) {}
  ~Entity() { reset(); }
  Entity(Entity&& other) noexcept : handle_(std::exchange(other.handle_, 0)) {}
  Entity& operator=(Entity&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, 0);
    }
    return *this;
  }
  Entity(const Entity&) = delete;
  Entity& operator=(const Entity&) = delete;

  dds_entity_t get() const { return handle_; }
  explicit operator bool() const { return handle_ > 0; }

  void reset() noexcept {
    if (handle_ > 0) (void)dds_delete(handle_);
    handle_ = 0;
  }

 private:
  dds_entity_t handle_ = 0;
};

}  // namespace sim
