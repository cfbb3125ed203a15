#include "core/bundle.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "core/log.h"

namespace le {
namespace {

constexpr size_t kCopyChunk = 8388608;
constexpr uint64_t kSyntheticManifestMax = 4194304;
constexpr const char* kMarkerSuffix = ".imx_unwrapped";
constexpr const char* kLockSuffix = ".imx_unwrap.lock";

std::mutex& unwrapMutex() {
  static std::mutex m;
  return m;
}

[[noreturn]] void fail(const std::string& text) { throw std::runtime_error(text); }

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool isDirectory(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool pathExists(const std::string& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0;
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct FdLock {
  int fd = -1;
  ~FdLock() {
    if (fd >= 0) ::close(fd);  // closing drops the flock
  }
};

uint16_t le16(const unsigned char* b) { return static_cast<uint16_t>(b[0] | (b[1] << 8)); }

uint64_t le64(const unsigned char* b) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
  return v;
}

std::string stemFor(const std::string& container) {
  std::string stem = bundle::lastComponent(bundle::stripTrailingSlashes(container));
  if (endsWith(stem, ".imx")) stem.resize(stem.size() - 4);
  if (!endsWith(stem, ".lebundle")) stem += ".lebundle";
  return stem;
}

std::string unwrapRoot(const std::string& container, const std::string& root) {
  if (!root.empty()) return root;
  return bundle::dirPart(bundle::stripTrailingSlashes(container));
}

std::string makeStamp(const std::string& container, const struct stat& st) {
  // Wrapping arithmetic: a hostile modification time must not overflow.
  const uint64_t ns = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000ull +
                      static_cast<uint64_t>(st.st_mtim.tv_nsec);
  return "imx-unwrapped.v2 " + bundle::lastComponent(bundle::stripTrailingSlashes(container)) + " " +
         std::to_string(static_cast<long long>(st.st_size)) + " " +
         std::to_string(static_cast<long long>(static_cast<int64_t>(ns))) + " " +
         std::to_string(static_cast<unsigned long long>(st.st_ino));
}

std::string trimmed(const std::string& s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  size_t b = 0, e = s.size();
  while (b < e && blank(s[b])) ++b;
  while (e > b && blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool readSmallFile(const std::string& p, std::string& out) {
  const int fd = openRegularFile(p);
  if (fd < 0) return false;
  File f(::fdopen(fd, "rb"));
  if (!f) {
    ::close(fd);
    return false;
  }
  out.clear();
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
    out.append(buf, n);
    if (out.size() > 65536) return false;  // no marker is this long
  }
  return !std::ferror(f.get());
}


// A zero byte would cut the message short where it is read as a C string.
std::string printable(const std::string& name) {
  std::string s;
  for (char ch : name) {
    if (ch == '\0') s += "\\0";
    else s += ch;
  }
  return s;
}

struct TocEntry {
  std::string name;
  uint64_t offset = 0;
  uint64_t size = 0;
};

// A real path for containment checks; empty when it cannot be resolved.
std::string realPath(const std::string& p) {
  char* r = ::realpath(p.c_str(), nullptr);
  if (!r) return {};
  std::string s(r);
  std::free(r);
  return s;
}

// Refuses an unwrap directory that is, or contains, the container: deleting
// the tree would delete the container itself.
void refuseSelfOverwrite(const std::string& c, const std::string& u) {
  if (!pathExists(u)) return;
  const std::string rc = realPath(c), ru = realPath(u);
  if (rc.empty() || ru.empty()) return;
  if (rc == ru || startsWith(rc, ru + "/"))
    fail(c + ": refusing to unwrap into " + u +
         ": the container lies inside it (rename the container or set LE_IMX_UNWRAP_ROOT)");
}

void writeMember(FILE* in, const std::string& c, const std::string& u, const TocEntry& e,
                 std::vector<char>& buf) {
  const std::string target = u + "/" + e.name;
  const std::string dir = bundle::dirPart(target);
  if (!bundle::makeDirs(dir)) fail("cannot create " + dir);
  if (::fseeko(in, static_cast<off_t>(e.offset), SEEK_SET) != 0)
    fail(c + ": cannot seek to member " + e.name);
  const std::string part = target + ".part";
  File out(std::fopen(part.c_str(), "wb"));
  if (!out) fail("cannot write " + part);
  try {
    uint64_t left = e.size;
    while (left > 0) {
      const size_t want = left < buf.size() ? static_cast<size_t>(left) : buf.size();
      const size_t got = std::fread(buf.data(), 1, want, in);
      if (got == 0) fail(c + ": truncated payload for member " + e.name);
      if (std::fwrite(buf.data(), 1, got, out.get()) != got)
        fail("short write materialising " + part);
      left -= got;
    }
    if (std::fflush(out.get()) != 0) fail("flush failed materialising " + part);
    if (std::fclose(out.release()) != 0) fail("flush failed materialising " + part);
  } catch (...) {
    out.reset();
    ::unlink(part.c_str());
    throw;
  }
  if (std::rename(part.c_str(), target.c_str()) != 0) {
    ::unlink(part.c_str());
    fail("cannot place member " + target);
  }
}

std::vector<TocEntry> readToc(FILE* in, const std::string& c, uint64_t fileSize) {
  unsigned char head[8];
  static const unsigned char kMagic[4] = {0x49, 0x4D, 0x58, 0x00};
  if (std::fread(head, 1, 8, in) != 8 || std::memcmp(head, kMagic, 4) != 0)
    fail(c + ": not an IMX\\0 container");
  const unsigned version = le16(head + 4);
  if (version != 2) fail(c + ": unsupported IMX container version " + std::to_string(version));
  const unsigned count = le16(head + 6);
  std::vector<TocEntry> toc;
  toc.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    unsigned char b[16];
    if (std::fread(b, 1, 2, in) != 2) fail(c + ": truncated TOC at member " + std::to_string(i));
    TocEntry e;
    e.name.resize(le16(b));
    if (!e.name.empty() && std::fread(e.name.data(), 1, e.name.size(), in) != e.name.size())
      fail(c + ": truncated member name at " + std::to_string(i));
    if (std::fread(b, 1, 16, in) != 16) fail(c + ": truncated TOC offsets at member " + std::to_string(i));
    e.offset = le64(b);
    e.size = le64(b + 8);
    toc.push_back(std::move(e));
  }
  // Every entry is checked before the first byte is written, so a bad table
  // leaves no member of this container behind.
  for (const TocEntry& e : toc) {
    if (unsafeMemberName(e.name)) fail(c + ": refusing unsafe member name '" + printable(e.name) + "'");
    if (e.offset > fileSize || e.size > fileSize - e.offset)
      fail(c + ": truncated payload for member " + e.name);
  }
  // Payloads may not share bytes: otherwise a small container unpacks to many
  // times its own size.
  std::vector<const TocEntry*> byOffset;
  for (const TocEntry& e : toc)
    if (e.size > 0) byOffset.push_back(&e);
  std::stable_sort(byOffset.begin(), byOffset.end(),
            [](const TocEntry* a, const TocEntry* b) { return a->offset < b->offset; });
  for (size_t i = 1; i < byOffset.size(); ++i) {
    const TocEntry& a = *byOffset[i - 1];
    const TocEntry& b = *byOffset[i];
    if (a.offset + a.size > b.offset)
      fail(c + ": members '" + printable(a.name) + "' and '" + printable(b.name) +
           "' share payload bytes; a container stores each member once (repack it)");
  }
  return toc;
}

bool syntheticManifest(FILE* in, const TocEntry& e) {
  if (e.name != "manifest.json" || e.size < 1 || e.size > kSyntheticManifestMax) return false;
  std::string text(static_cast<size_t>(e.size), '\0');
  if (::fseeko(in, static_cast<off_t>(e.offset), SEEK_SET) != 0) return false;
  if (std::fread(text.data(), 1, text.size(), in) != text.size()) return false;
  return text.find("_imx_synthetic_manifest") != std::string::npos;
}

// The tree is complete when the marker carries this container's stamp.
bool unwrappedAlready(const std::string& u, const std::string& marker, const std::string& stamp) {
  std::string seen;
  struct stat ust;
  return ::lstat(u.c_str(), &ust) == 0 && S_ISDIR(ust.st_mode) && readSmallFile(marker, seen) &&
         trimmed(seen) == stamp;
}

std::string unwrapLocked(const std::string& c, const std::string& u, const std::string& marker,
                         const std::string& stamp) {
  // Checked again under the lock: another process may have finished meanwhile.
  if (unwrappedAlready(u, marker, stamp)) return u;

  refuseSelfOverwrite(c, u);
  ::unlink(marker.c_str());
  bundle::removeTree(u);
  if (!bundle::makeDirs(u)) fail("cannot create unwrap dir " + u);

  File in(std::fopen(c.c_str(), "rb"));
  if (!in) fail("cannot open container " + c);
  struct stat cst;
  if (::fstat(::fileno(in.get()), &cst) != 0) fail("cannot stat container " + c);
  const uint64_t fileSize = cst.st_size > 0 ? static_cast<uint64_t>(cst.st_size) : 0;

  const std::vector<TocEntry> toc = readToc(in.get(), c, fileSize);
  std::vector<char> buf(kCopyChunk);
  for (const TocEntry& e : toc) {
    if (syntheticManifest(in.get(), e)) continue;
    writeMember(in.get(), c, u, e, buf);
  }

  File m(std::fopen(marker.c_str(), "wb"));
  if (!m) fail("cannot write unwrap marker " + marker);
  const bool written = std::fwrite(stamp.data(), 1, stamp.size(), m.get()) == stamp.size() &&
                       std::fflush(m.get()) == 0;
  const bool closed = std::fclose(m.release()) == 0;
  if (!written || !closed) {
    ::unlink(marker.c_str());
    fail("short write on unwrap marker " + marker);
  }
  log::printf(log::kInfo, "[le] unwrapped %s -> %s\n", c.c_str(), u.c_str());
  return u;
}

}  // namespace

namespace bundle {

std::string stripTrailingSlashes(const std::string& p) {
  size_t n = p.size();
  while (n > 1 && p[n - 1] == '/') --n;
  return p.substr(0, n);
}

std::string lastComponent(const std::string& p) {
  const size_t s = p.rfind('/');
  return s == std::string::npos ? p : p.substr(s + 1);
}

std::string dirPart(const std::string& p) {
  const size_t s = p.rfind('/');
  if (s == std::string::npos) return ".";
  if (s == 0) return "/";
  return p.substr(0, s);
}

bool removeTree(const std::string& p) {
  struct stat st;
  if (::lstat(p.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlink(p.c_str()) == 0 || errno == ENOENT;
  if (DIR* d = ::opendir(p.c_str())) {
    std::vector<std::string> names;
    while (dirent* ent = ::readdir(d)) {
      if (std::strcmp(ent->d_name, ".") != 0 && std::strcmp(ent->d_name, "..") != 0)
        names.emplace_back(ent->d_name);
    }
    ::closedir(d);
    for (const std::string& n : names) removeTree(p + "/" + n);
  }
  return ::rmdir(p.c_str()) == 0 || errno == ENOENT;
}

bool makeDirs(const std::string& p) {
  if (p.empty() || p == "." || p == "/") return true;
  if (isDirectory(p)) return true;
  const std::string parent = dirPart(stripTrailingSlashes(p));
  if (parent != p && !makeDirs(parent)) return false;
  if (::mkdir(p.c_str(), 0755) == 0) return true;
  return isDirectory(p);  // another process may have created it meanwhile
}

std::string unwrapDirFor(const std::string& container, const std::string& under) {
  const std::string root = stripTrailingSlashes(unwrapRoot(container, under));
  return (root == "/" ? "" : root) + "/" + stemFor(container);
}

std::string unwrapOnce(const std::string& c, const std::string& root) {
  std::lock_guard<std::mutex> hold(unwrapMutex());
  struct stat st;
  // Follows a link: the stamp must change when the file behind it does.
  if (::stat(c.c_str(), &st) != 0) fail("cannot stat container " + c);
  const std::string u = unwrapDirFor(c, root);
  const std::string marker = u + kMarkerSuffix;
  const std::string stamp = makeStamp(c, st);
  // A tree whose marker carries this container's stamp is reused as it is:
  // no lock, nothing written (the unwrap directory may be read-only).
  if (unwrappedAlready(u, marker, stamp)) return u;

  // Other processes unwrapping the same container wait here, then find the
  // marker and reuse the tree instead of deleting it under our feet.
  if (!makeDirs(dirPart(u))) fail("cannot create unwrap dir " + u);
  FdLock lock;
  const std::string lockPath = u + kLockSuffix;
  lock.fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock.fd < 0) fail("cannot open unwrap lock " + lockPath);
  while (::flock(lock.fd, LOCK_EX) != 0) {
    if (errno != EINTR) fail("cannot lock " + lockPath);
  }
  return unwrapLocked(c, u, marker, stamp);
}

std::string counterpartName(const std::string& name) {
  static const char* const kPairs[][2] = {
      {"P.f16", "source_frames.f16"},
      {"P_hevc.mov", "source_frames.hevc"},
      {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"},
      {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
      {"M.f32", "paste_transform.f32"},
      {"mask_512.u8", "paste_mask.u8"},
      {"pooled64.f16", "pooled_features.f16"},
      {"fs_red.f16", "feature_synth.f16"},
      {"xs_target.bin", "target_keypoints.bin"},
  };
  for (const auto& pair : kPairs)
    if (name == pair[0]) return pair[1];

  static const std::string kModel = "model_b", kOnnx = ".onnx";
  if (name.size() > kModel.size() + kOnnx.size() && startsWith(name, kModel) && endsWith(name, kOnnx)) {
    const std::string x = name.substr(kModel.size(), name.size() - kModel.size() - kOnnx.size());
    const size_t us = x.find('_');
    if (us == std::string::npos) return "render_model.batch" + x + kOnnx;
    return "render_model.batch" + x.substr(0, us) + "." + x.substr(us + 1) + kOnnx;
  }

  static const std::string kDrive = "drive/";
  if (startsWith(name, kDrive)) {
    const std::string rest = name.substr(kDrive.size());
    const size_t dot = rest.find('.');
    std::string s = rest.substr(0, dot);
    const std::string ext = dot == std::string::npos ? "" : rest.substr(dot);
    if (s == "xs") s = "source_keypoints";
    else if (s == "xd") s = "driven_keypoints";
    else if (s == "si") s = "source_index";
    return "idle_loop/" + s + ext;
  }
  return {};
}

}  // namespace bundle

int openRegularFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool opensForReading(const std::string& path) {
  const int fd = openRegularFile(path);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool isRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool unsafeMemberName(const std::string& name) {
  return name.empty() || name[0] == '/' || name[0] == '\\' || name.find("..") != std::string::npos ||
         name.find('\0') != std::string::npos;
}

bool isImxV2File(const std::string& path) {
  if (path.empty()) return false;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  unsigned char head[8];
  if (std::fread(head, 1, 8, f.get()) != 8) return false;
  return head[0] == 0x49 && head[1] == 0x4D && head[2] == 0x58 && head[3] == 0x00 && le16(head + 4) == 2;
}

std::string resolveBundlePath(const std::string& path, const std::string& root) {
  if (path.empty()) return {};
  const std::string stripped = bundle::stripTrailingSlashes(path);
  if (isDirectory(path) && !pathExists(stripped + kMarkerSuffix)) return path;
  if (endsWith(path, ".imx") && isImxV2File(path)) return bundle::unwrapOnce(path, root);
  const std::string q = stripped + ".imx";
  if (isImxV2File(q)) return bundle::unwrapOnce(q, root);
  if (isImxV2File(path)) return bundle::unwrapOnce(path, root);
  return path;
}

std::string resolveMember(const std::string& dir, const std::string& name) {
  const std::string plain = dir + "/" + name;
  const std::string other = bundle::counterpartName(name);
  if (other.empty() || other == name) return plain;
  if (opensForReading(plain)) return plain;
  const std::string alt = dir + "/" + other;
  if (opensForReading(alt)) return alt;
  return plain;
}

}  // namespace le
