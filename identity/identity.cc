#include "identity/identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>
#include <stdexcept>

#include "core/bundle.h"
#include "driver/cursor.h"
#include "kernels/simd.h"

namespace le {
namespace {

constexpr const char* kDash = "\xE2\x80\x94";
constexpr size_t kPooledHalves = 65536, kFsRedHalves = 262144;

[[noreturn]] void fail(const std::string& t) { throw std::runtime_error(t); }

bool exists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

// Product of sizes, refusing one that does not fit: a hostile manifest must
// not make an expected length wrap around to match a small file.
size_t bytesFor(std::initializer_list<uint64_t> factors) {
  uint64_t p = 1;
  for (uint64_t f : factors)
    if (__builtin_mul_overflow(p, f, &p) || p > SIZE_MAX / 2) fail("identity: member size overflows");
  return static_cast<size_t>(p);
}

}  // namespace

TableFile::TableFile(const std::string& path, size_t expected) : path_(path) {
  fd_ = openRegularFile(path);
  if (fd_ < 0) fail("cannot open " + path);
  struct stat st;
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != expected) {
    ::close(fd_);
    fd_ = -1;
    fail("size mismatch " + path);
  }
  size_ = expected;
}

TableFile::TableFile(TableFile&& o) noexcept { *this = std::move(o); }

TableFile& TableFile::operator=(TableFile&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(o.fd_, -1);
    size_ = std::exchange(o.size_, 0);
    path_ = std::move(o.path_);
  }
  return *this;
}

TableFile::~TableFile() {
  if (fd_ >= 0) ::close(fd_);
}

void TableFile::halves(uint64_t offset, size_t count, float* dst) const {
  if (offset > size_ || count > (size_ - offset) / sizeof(uint16_t))
    fail(path_ + ": row outside the table at " + std::to_string(offset));
  // Through a staging block of the thread's own that stays in the cache
  // while it is converted.
  constexpr size_t kBlock = 128 * 1024;
  thread_local std::vector<uint16_t> block(kBlock);
  for (size_t done = 0; done < count;) {
    const size_t n = std::min(kBlock, count - done);
    const uint64_t at = offset + done * sizeof(uint16_t);
    size_t got = 0;
    while (got < n * sizeof(uint16_t)) {
      const ssize_t r = ::pread(fd_, reinterpret_cast<char*>(block.data()) + got, n * sizeof(uint16_t) - got,
                                static_cast<off_t>(at + got));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) fail(path_ + ": short read at " + std::to_string(at + got));
      got += static_cast<size_t>(r);
    }
    simd::f16ToF32(block.data(), dst + done, n);
    done += n;
  }
}

std::vector<float> readRaw(const std::string& path, size_t count) {
  const int fd = openRegularFile(path);
  if (fd < 0) fail("cannot open " + path);
  struct stat st;
  bool ok = count <= SIZE_MAX / 8 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<uint64_t>(st.st_size) == static_cast<uint64_t>(count) * 4;
  std::vector<float> v;
  if (ok) {
    v.resize(count);
    char* dst = reinterpret_cast<char*>(v.data());
    size_t got = 0;
    while (got < count * 4) {
      const ssize_t r = ::read(fd, dst + got, count * 4 - got);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    char extra;
    ok = got == count * 4 && ::read(fd, &extra, 1) == 0;  // nothing may trail the values
  }
  ::close(fd);
  if (!ok) fail("size mismatch " + path);
  return v;
}

void halfToFloat(const uint16_t* src, float* dst, size_t count) { simd::f16ToF32(src, dst, count); }

void ensureIdentityMembers(const Manifest& m) {
  const std::string& raw = m.pRgb;
  const bool haveP = exists(resolveMember(m.dir, "P.f16"));
  const bool haveFs = exists(resolveMember(m.dir, "fs_red.f16"));
  if (raw != "P.f16" && exists(resolveMember(m.dir, raw)) && !haveP && !haveFs)
    fail("this bundle's manifest names its raw warp prior '" + raw +
         "' (P_rgb) but le::Identity maps the welded name P.f16 and would find nothing " + kDash +
         " it maps NOTHING silently and Identity::P(si) is then an offset from a null pointer. REFUSING rather than "
         "rendering off a prior nothing will read.");
  if (haveP || haveFs) return;
  const std::string& hevc = m.pHevc;
  if (hevc.empty())
    fail("this bundle carries neither " + raw + " nor fs_red.f16, and its manifest names no P_hevc member to play one "
         "from " + kDash + " the renderer has no warp prior and le::Identity would hand it a null pointer. REFUSING to "
         "create a session.");
  const std::string path = resolveMember(m.dir, hevc);
  if (!exists(path))
    fail("this bundle's manifest names P_hevc '" + hevc + "' and the file is not there (" + path + ") " + kDash +
         " the renderer has no warp prior. REFUSING to create a session.");
}

Identity::Identity(const Manifest& man) : nt(man.nt), crop(man.crop), manifest(man) {
  ensureIdentityMembers(man);
  pooled64Table = TableFile(resolveMember(man.dir, "pooled64.f16"), bytesFor({uint64_t(nt), kPooledHalves * 2}));
  const std::string p = resolveMember(man.dir, "P.f16");
  const std::string fs = resolveMember(man.dir, "fs_red.f16");
  if (opensForReading(p)) {
    pTable = TableFile(p, bytesFor({uint64_t(nt), uint64_t(crop), uint64_t(crop), 6}));
  } else if (!exists(fs)) {
    const std::string path = resolveMember(man.dir, man.priorVideo());
    if (opensForReading(path)) priorPath = path;
  }
  if (exists(fs)) fsRedTable = TableFile(fs, bytesFor({uint64_t(nt), kFsRedHalves * 2}));
  m = readRaw(resolveMember(man.dir, "M.f32"), bytesFor({uint64_t(nt), 6}));
  rescaleM(man);
}

Identity::~Identity() = default;

void Identity::rescaleM(const Manifest& man) {
  if (man.msrcW <= 0 || man.msrcH <= 0)
    fail(std::string("le::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) ") + kDash +
         " refusing to paste M without knowing the space it was authored in");
  if (man.msrcW == man.W && man.msrcH == man.H) return;
  const double sx = static_cast<double>(man.W) / man.msrcW, sy = static_cast<double>(man.H) / man.msrcH;
  for (size_t r = 0; r + 6 <= m.size(); r += 6) {
    for (int k = 0; k < 3; ++k) m[r + k] = static_cast<float>(static_cast<double>(m[r + k]) * sx);
    for (int k = 3; k < 6; ++k) m[r + k] = static_cast<float>(static_cast<double>(m[r + k]) * sy);
  }
}

void Identity::pooled64Row(int i, float* dst) const {
  pooled64Table.halves(static_cast<uint64_t>(i) * kPooledHalves * 2, kPooledHalves, dst);
}

void Identity::pRow(int i, float* dst) const {
  const size_t n = static_cast<size_t>(crop) * crop * 3;
  pTable.halves(static_cast<uint64_t>(i) * n * 2, n, dst);
}

void Identity::fsRedRow(int i, float* dst) const {
  fsRedTable.halves(static_cast<uint64_t>(i) * kFsRedHalves * 2, kFsRedHalves, dst);
}

const uint16_t* Identity::priorFrame(int i) const {
  if (!usesPriorVideo()) return nullptr;
  int got = -1;
  return reinterpret_cast<const uint16_t*>(prior().pullAt(i, &got));
}

DriverCursor& Identity::prior() const {
  std::call_once(priorOnce, [this] { prior_ = openPrior(); });
  return *prior_;
}

std::unique_ptr<DriverCursor> Identity::openPrior() const { return DriverCursor::openPrior(manifest, 2, 11); }

void Identity::walkP(int i) const {
  if (!usesPriorVideo()) return;
  int got = -1;
  prior().pullAt(i, &got);
}

std::string Identity::priorBackend() const {
  if (!pTable.empty()) return "P.f16";
  if (!priorPath.empty()) return prior().name();
  return "none";
}

size_t Identity::priorResidentBytes() const { return usesPriorVideo() ? prior().residentBytes() : 0; }

uint64_t Identity::priorSeeks() const { return usesPriorVideo() ? prior().seeks() : 0; }

Drive loadDrive(const Manifest& man) {
  Drive d;
  d.frames = man.frames;
  if (man.frames < 0) fail("drive: negative frame count");
  const size_t rows = static_cast<size_t>(man.frames);
  d.xs = readRaw(resolveMember(man.dir, "drive/xs.f32"), bytesFor({rows, 63}));
  d.xd = readRaw(resolveMember(man.dir, "drive/xd.f32"), bytesFor({rows, 63}));
  const std::vector<float> si = readRaw(resolveMember(man.dir, "drive/si.i32"), rows);
  d.si.resize(rows);
  std::memcpy(d.si.data(), si.data(), rows * 4);
  for (int32_t v : d.si)
    if (v < 0 || v >= man.nt) fail("drive: si out of range");
  for (const std::vector<float>* kp : {&d.xs, &d.xd})
    for (size_t k = 0; k < kp->size(); ++k)
      if (!std::isfinite((*kp)[k]))
        fail("drive: keypoint row " + std::to_string(k / 63) + " holds a non-finite value");
  return d;
}

}  // namespace le
