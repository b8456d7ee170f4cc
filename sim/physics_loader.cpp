#include <dlfcn.h>
#include <glob.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/model.hpp"

#ifndef TARVEK_SIM_PLATLIB_FROM_BIN
#define TARVEK_SIM_PLATLIB_FROM_BIN ""
#endif

namespace sim {

namespace {

std::string executableDir() {
  std::array<char, PATH_MAX> buffer{};
  const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return ".";
  std::string path(buffer.data(), static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Where the plugin may be, most specific first: an explicit path, the package directory of
// the environment the simulator is installed in (from bin/, or from where a repaired wheel
// puts the executable), and beside the executable (a build tree).
std::vector<std::string> pluginCandidates() {
  std::vector<std::string> candidates;
  if (const char* given = std::getenv("TARVEK_SIM_PLUGIN"); given != nullptr && *given != '\0') {
    candidates.emplace_back(given);
    return candidates;
  }
  const std::string bin = executableDir();
  const std::string platlib = TARVEK_SIM_PLATLIB_FROM_BIN;
  if (!platlib.empty()) {
    candidates.push_back(bin + "/" + platlib + "/tarvek_sim/" + kRigidBodyPluginName);
  }
  // Installed into a layout other than the one built for (another Python's scheme).
  glob_t found{};
  const std::string pattern =
      bin + "/../lib/python3*/*-packages/tarvek_sim/" + kRigidBodyPluginName;
  if (glob(pattern.c_str(), 0, nullptr, &found) == 0) {
    for (std::size_t i = 0; i < found.gl_pathc; ++i) candidates.emplace_back(found.gl_pathv[i]);
  }
  globfree(&found);
  // A repaired wheel moves the executable into site-packages/tarvek_sdk.scripts/, beside
  // the plugin's package directory.
  candidates.push_back(bin + "/../tarvek_sim/" + kRigidBodyPluginName);
  candidates.push_back(bin + "/" + kRigidBodyPluginName);
  return candidates;
}

CreateRigidBodyFn loadPlugin() {
  // Loaded once and never unloaded: the backend's code must outlive every backend.
  static CreateRigidBodyFn create = nullptr;
  if (create != nullptr) return create;
  std::string failures;
  for (const std::string& path : pluginCandidates()) {
    if (access(path.c_str(), F_OK) != 0) {
      failures += "\n  " + path + ": not found";
      continue;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = dlerror();
      failures += "\n  " + path + ": " + (why != nullptr ? why : "cannot be loaded");
      continue;
    }
    void* symbol = dlsym(handle, kRigidBodyEntryPoint);
    if (symbol == nullptr) {
      failures += "\n  " + path + ": no entry point " + kRigidBodyEntryPoint;
      dlclose(handle);
      continue;
    }
    create = reinterpret_cast<CreateRigidBodyFn>(symbol);
    return create;
  }
  throw std::runtime_error(
      "--physics mujoco cannot load the MuJoCo backend. Install MuJoCo into this Python "
      "environment (pip install 'mujoco-core>=4.0,<4.1', Python 3.11 or later) and reinstall "
      "the SDK with it present (pip install 'tarvek-sdk[physics]'), or use --physics toy. "
      "Tried:" +
      failures);
}

}  // namespace

std::unique_ptr<PhysicsBackend> makePhysics(PhysicsKind kind, RigidBodyConfig config,
                                            Clock::time_point start) {
  if (kind == PhysicsKind::toy) return std::make_unique<Model>(start, config.lockstep);
  const CreateRigidBodyFn create = loadPlugin();
  std::array<char, 1024> error{};
  PhysicsBackend* backend = create(&config, error.data(), error.size());
  if (backend == nullptr)
    throw std::runtime_error(std::string("--physics mujoco: ") + error.data());
  return std::unique_ptr<PhysicsBackend>(backend);
}

}  // namespace sim
