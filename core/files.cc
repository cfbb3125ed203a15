#include "core/files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <stdexcept>

#include "core/bundle.h"
#include "core/finite.h"
#include "core/framing.h"
#include "core/model_cache.h"

namespace le {
namespace {

[[noreturn]] void fail(const std::string& text) { throw std::runtime_error(text); }

class Fd {
 public:
  explicit Fd(const std::string& path) : fd_(openRegularFile(path)) {
    if (fd_ < 0) fail("cannot open " + path);
  }
  ~Fd() { ::close(fd_); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  uint64_t size(const std::string& path) const {
    struct stat st;
    if (::fstat(fd_, &st) != 0) fail("cannot open " + path);
    return static_cast<uint64_t>(st.st_size);
  }

 private:
  int fd_;
};

// Reads n bytes; true when all arrived and nothing trails them.
bool readAll(int fd, char* dst, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, dst + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

constexpr size_t kMaxFingerprintEntries = 4096;

void listInto(const std::string& dir, const std::string& rel, int depth, std::vector<std::string>& out) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." || name == ".coreml_cache") continue;
    if (out.size() >= kMaxFingerprintEntries) break;
    const std::string path = dir + "/" + name;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) continue;
    const uint64_t ns = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000ull + static_cast<uint64_t>(st.st_mtim.tv_nsec);
    out.push_back(rel + name + " " + std::to_string(static_cast<long long>(st.st_size)) + " " + std::to_string(ns) + " " +
                  std::to_string(static_cast<unsigned long long>(st.st_ino)) + " " +
                  std::to_string(static_cast<unsigned long long>(st.st_dev)));
    if (S_ISDIR(st.st_mode) && depth > 0) listInto(path, rel + name + "/", depth - 1, out);
  }
  ::closedir(d);
}

}  // namespace

std::string bundleFingerprint(const std::string& dir) {
  std::vector<std::string> entries;
  listInto(dir, "", 1, entries);
  std::sort(entries.begin(), entries.end());
  std::string print;
  for (const std::string& e : entries) print += e + "\n";
  return print;
}

std::string readWholeFile(const std::string& path, uint64_t limit) {
  Fd fd(path);
  const uint64_t size = fd.size(path);
  if (size > limit)
    fail(path + " is " + std::to_string(size) + " bytes, over the limit of " + std::to_string(limit) +
         " bytes for this member");
  std::string text(static_cast<size_t>(size), '\0');
  if (!readAll(fd.get(), text.data(), text.size())) fail("short read " + path);
  return text;
}

void readExact(const std::string& path, void* out, size_t bytes) {
  Fd fd(path);
  const uint64_t size = fd.size(path);
  if (size != bytes)
    fail(path + " holds " + std::to_string(size) + " bytes, expected " + std::to_string(bytes));
  if (!readAll(fd.get(), static_cast<char*>(out), bytes)) fail("short read " + path);
}

std::vector<uint8_t> readExactBytes(const std::string& path, size_t bytes) {
  std::vector<uint8_t> v;
  // The size is checked before the buffer is made: a hostile count must not
  // allocate what the file does not hold.
  const int64_t size = regularFileSize(path);
  if (size >= 0 && static_cast<uint64_t>(size) != bytes)
    fail(path + " holds " + std::to_string(size) + " bytes, expected " + std::to_string(bytes));
  v.resize(bytes);
  readExact(path, v.data(), bytes);
  return v;
}

std::vector<float> readExactFloats(const std::string& path, size_t count) {
  if (count > SIZE_MAX / 8) fail(path + ": the expected size overflows");
  const int64_t size = regularFileSize(path);
  if (size >= 0 && static_cast<uint64_t>(size) != count * 4)
    fail(path + " holds " + std::to_string(size) + " bytes, expected " + std::to_string(count * 4) + " (" +
         std::to_string(count) + " float32)");
  std::vector<float> v(count);
  readExact(path, v.data(), count * 4);
  return v;
}

int64_t regularFileSize(const std::string& path) {
  const int fd = openRegularFile(path);
  if (fd < 0) return -1;
  struct stat st;
  const bool ok = ::fstat(fd, &st) == 0;
  ::close(fd);
  return ok ? static_cast<int64_t>(st.st_size) : -1;
}

std::vector<float> loadKeypointTrack(const std::string& dir, int rows) {
  const std::string path = resolveMember(dir, "xs_target.bin");
  const int64_t size = regularFileSize(path);
  if (size < 0) fail("cannot open " + path);
  const int64_t row = int64_t(kKpValues) * 4;
  if (size == 0 || size % row != 0 || size / row > kMaxTrackRows)
    fail(path + " holds " + std::to_string(size) + " bytes, not a whole number of keypoint rows (" +
         std::to_string(row) + " bytes each, 1 to " + std::to_string(kMaxTrackRows) + " rows)");
  if (rows > 0 && size / row != rows)
    fail(path + " holds " + std::to_string(size / row) + " keypoint rows, the avatar has " + std::to_string(rows));
  std::vector<float> v = readExactFloats(path, static_cast<size_t>(size / 4));
  requireFinite(v.data(), v.size(), path);
  return v;
}

}  // namespace le
