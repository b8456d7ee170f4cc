#pragma once
// Owning handles for Cyclone DDS entities and QoS objects, and the one place where
// DDS return codes become exceptions.
#include <dds/dds.h>

#include <string>

namespace ros2 {

// Throws std::runtime_error("<what>: <DDS text>") for a negative return code.
void checkRc(dds_return_t rc, const std::string& what);
// Same for calls that return an entity handle; returns the handle.
dds_entity_t checkEntity(dds_entity_t entity, const std::string& what);
// Lower-case hexadecimal text of `count` bytes, as GUIDs are printed.
std::string hex(const unsigned char* bytes, size_t count);

class Entity {
 public:
  Entity() = default;
  explicit Entity(dds_entity_t handle) noexcept : handle_(handle) {}
  ~Entity() { reset(); }
  Entity(Entity&& other) noexcept : handle_(other.release()) {}
  Entity& operator=(Entity&& other) noexcept;
  Entity(const Entity&) = delete;
  Entity& operator=(const Entity&) = delete;

  dds_entity_t get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ > 0; }
  dds_entity_t release() noexcept;
  // Deletes the entity (and, as DDS does, its children); the result is not judged.
  void reset() noexcept;

 private:
  dds_entity_t handle_ = 0;
};

class Qos {
 public:
  Qos();
  ~Qos();
  Qos(const Qos&) = delete;
  Qos& operator=(const Qos&) = delete;
  dds_qos_t* get() const noexcept { return qos_; }

 private:
  dds_qos_t* qos_;
};

}  // namespace ros2
