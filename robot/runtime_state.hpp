#pragma once

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

// Replaces the file at `path` with the gains. Throws "failed to open runtime state file for
// writing" when no file can be created there.
void writeRuntimeState(const std::filesystem::path& path, const sdk_dds::FloatVector& kp,
                       const sdk_dds::FloatVector& kd);

}  // namespace robot
