#include "robot/runtime_state.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <locale>
#include <random>
#include <sstream>
#include <stdexcept>

namespace robot {

namespace fs = std::filesystem;

fs::path runtimeStatePath(int32_t dds_domain_id) {
  return fs::temp_directory_path() /
         ("tarvek_sdk_runtime_state_" + std::to_string(dds_domain_id) + ".txt");
}

namespace {

// The stream's default notation (six significant digits, "%g" rules) in the classic locale,
// so a user program that switched its locale still writes "0.5", never "0,5".
void appendValues(std::ostringstream& out, const sdk_dds::FloatVector& values) {
  out << values.size() << '\n';
  for (float v : values) out << static_cast<double>(v) << '\n';
}

bool writeAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string formatRuntimeState(const sdk_dds::FloatVector& kp, const sdk_dds::FloatVector& kd) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  appendValues(out, kp);
  appendValues(out, kd);
  return out.str();
}

void writeRuntimeState(const fs::path& path, const sdk_dds::FloatVector& kp,
                       const sdk_dds::FloatVector& kd) {
  // The path is predictable and sits in a shared directory: truncating it in place would
  // follow a link planted there and let readers see a half-written file. So the text goes
  // to a fresh file beside it (O_EXCL, never a link) that is then renamed over the path;
  // rename replaces a link at the path instead of following it.
  const std::string text = formatRuntimeState(kp, kd);
  std::random_device rd;
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    tmp = path.string() + ".tmp." + std::to_string(rd());
    // 0666 less the umask, like the plain create the file had before.
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  // A directory (or anything else that is not a file) at the path cannot be replaced by a
  // file either; report it the way a failed open would.
  struct stat st {};
  const bool target_blocked = ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (fd < 0 || target_blocked) {
    if (fd >= 0) {
      ::close(fd);
      ::unlink(tmp.c_str());
    }
    throw std::runtime_error("failed to open runtime state file for writing");
  }
  // Write and close errors are not reported, as with the stream this replaces; the rename
  // still publishes whatever was written.
  (void)writeAll(fd, text);
  (void)::close(fd);
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    throw std::runtime_error("failed to open runtime state file for writing");
  }
}

namespace {

bool readFourValues(std::istream& in, std::array<float, 4>& values) {
  size_t count = 0;
  if (!(in >> count) || count != values.size()) return false;
  // Extraction straight into the target: a malformed number stores 0 and an out-of-range
  // one the largest float of its sign before the read counts as failed.
  for (float& v : values) {
    if (!(in >> v)) return false;
  }
  return true;
}

// The whole file, when it is a regular file that this user (or root) owns. The path is
// predictable and in a shared directory, so anyone else's file there must not set gains.
RuntimeStateRead readTrustedFile(const fs::path& path, std::string& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? RuntimeStateRead::Missing : RuntimeStateRead::Unreadable;
  struct stat st {};
  const bool trusted = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                       (st.st_uid == ::geteuid() || st.st_uid == 0);
  if (trusted) {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return trusted ? RuntimeStateRead::Complete : RuntimeStateRead::Untrusted;
}

}  // namespace

RuntimeStateRead inspectRuntimeState(const fs::path& path, std::array<float, 4>& kp,
                                     std::array<float, 4>& kd) noexcept {
  try {
    std::string text;
    const RuntimeStateRead opened = readTrustedFile(path, text);
    if (opened != RuntimeStateRead::Complete) return opened;
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    if (readFourValues(in, kp) && readFourValues(in, kd)) return RuntimeStateRead::Complete;
    return RuntimeStateRead::Malformed;
  } catch (...) {
    // Reading is best effort by design: any trouble means the defaults.
    return RuntimeStateRead::Unreadable;
  }
}

void readRuntimeState(const fs::path& path, std::array<float, 4>& kp,
                      std::array<float, 4>& kd) noexcept {
  (void)inspectRuntimeState(path, kp, kd);
}

}  // namespace robot
