#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "dds/dds_layer.hpp"

namespace robot {

// The system temporary directory joined with "tarvek_sdk_runtime_state_<domain>.txt".
// Throws std::filesystem::filesystem_error when the temporary directory is unusable.
std::filesystem::path runtimeStatePath(int32_t dds_domain_id);

// The file's text: each count, then its values, one per line, printed like "%g".
std::string formatRuntimeState(const sdk_dds::FloatVector& kp, const sdk_dds::FloatVector& kd);

// Replaces the file at `path` with the gains, or, where the directory takes no new file,
// rewrites a file there that this user may write. Throws "failed to open runtime state file
// for writing" wherever a plain open for writing would fail, and never follows a link.
void writeRuntimeState(const std::filesystem::path& path, const sdk_dds::FloatVector& kp,
                       const sdk_dds::FloatVector& kd);

// The gains a Joystick sends when the file gives none.
inline constexpr std::array<float, 4> kDefaultKp = {35.0f, 35.0f, 0.0f, 0.0f};
inline constexpr std::array<float, 4> kDefaultKd = {0.45f, 0.45f, 0.3f, 0.3f};

// How a read of the file went, so a diagnosis can say why the defaults were used.
enum class RuntimeStateRead {
  Complete,    // all eight values came from the file
  Malformed,   // the file was trusted but a read failed; later values kept their defaults
  Missing,     // no file at the path
  Unreadable,  // it exists but cannot be opened
  Untrusted,   // not a regular file owned by this user or root: ignored
};

// Reads four kp and four kd values over the defaults already in `kp` and `kd`, with the
// stream-extraction rules: a failed read stops, keeping what earlier reads stored. A
// missing, unreadable, malformed or foreign file (a link, or not a regular file owned by
// this user or root) leaves the defaults. Reads at most the first few kilobytes. Never
// throws.
void readRuntimeState(const std::filesystem::path& path, std::array<float, 4>& kp,
                      std::array<float, 4>& kd) noexcept;
// The same read, telling how it went.
RuntimeStateRead inspectRuntimeState(const std::filesystem::path& path, std::array<float, 4>& kp,
                                     std::array<float, 4>& kd) noexcept;

}  // namespace robot
