#pragma once
// Quality of service of a service client or server: keep-last, reliable, and the
// durability the caller picks.
namespace ros2 {

enum class Durability { Volatile, TransientLocal };

struct QosProfile {
  int depth = 10;  // keep-last depth; 0 or less means 1
  Durability durability = Durability::Volatile;

  int effectiveDepth() const noexcept { return depth > 0 ? depth : 1; }
};

}  // namespace ros2
