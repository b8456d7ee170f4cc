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

// Writes `text` to a new file beside `path` and renames it over `path`. False, with nothing
// left behind, when the directory takes no new file or the rename is refused.
bool replaceRuntimeState(const fs::path& path, const std::string& text) {
  std::random_device rd;
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    tmp = path.string() + ".tmp." + std::to_string(rd());
    // 0666 less the umask, like the plain create the file had before.
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return false;
  // Write and close errors are not reported; the rename still publishes what was written.
  (void)writeAll(fd, text);
  (void)::close(fd);
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
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
  const std::string text = formatRuntimeState(kp, kd);
  // The path is predictable and sits in a shared directory: truncating it in place would
  // follow a link planted there and let readers see a half-written file. So the text goes
  // to a fresh file beside it (O_EXCL, never a link) that is then renamed over the path;
  // rename replaces a link at the path instead of following it.
  //
  // Who may write stays what a plain open for writing allows. A file already at the path
  // that this user could not open for writing is not replaced behind its owner's back; and
  // a file this user may write, in a directory where no new file can be made, is still
  // written, in place (never through a link: O_NOFOLLOW).
  struct stat st {};
  const bool exists = ::lstat(path.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    throw std::runtime_error("failed to open runtime state file for writing");
  }
  int in_place = -1;
  if (exists && S_ISREG(st.st_mode)) {
    // O_NONBLOCK: should a FIFO be swapped in meanwhile, the open fails instead of hanging.
    in_place = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (in_place < 0) throw std::runtime_error("failed to open runtime state file for writing");
  }
  if (replaceRuntimeState(path, text)) {
    if (in_place >= 0) ::close(in_place);
    return;
  }
  // In place only into the very file that was checked, and only when no other name leads
  // to it: truncating a hard link planted at the path would destroy the file it shares.
  struct stat opened {};
  if (in_place < 0 || ::fstat(in_place, &opened) != 0 || !S_ISREG(opened.st_mode) ||
      opened.st_nlink != 1 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
    if (in_place >= 0) ::close(in_place);
    throw std::runtime_error("failed to open runtime state file for writing");
  }
  // Write and close errors are not reported, as with the plain stream this stands for.
  if (::ftruncate(in_place, 0) == 0) (void)writeAll(in_place, text);
  (void)::close(in_place);
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

// A legitimate file is ten short lines, and the reader stops after the eighth value; text
// past this much is never looked at.
constexpr size_t kMaxStateBytes = 4096;

// The start of the file, when it is a regular file that this user (or root) owns. The path
// is predictable and in a shared directory, so anyone else's file there must not set gains;
// a link planted there is not followed (it might lead to a huge or endless "file"), and
// nothing but a bounded read of the opened file itself is trusted.
RuntimeStateRead readTrustedFile(const fs::path& path, std::string& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return RuntimeStateRead::Missing;
    // O_NOFOLLOW refuses a link at the path with ELOOP: a link is never trusted.
    return errno == ELOOP ? RuntimeStateRead::Untrusted : RuntimeStateRead::Unreadable;
  }
  struct stat st {};
  const bool trusted = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                       (st.st_uid == ::geteuid() || st.st_uid == 0);
  if (trusted) {
    text.resize(kMaxStateBytes);
    size_t got = 0;
    while (got < text.size()) {
      const ssize_t n = ::read(fd, &text[got], text.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    text.resize(got);
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
