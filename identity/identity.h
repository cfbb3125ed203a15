// The identity of an avatar: per-frame warp prior (P or fs_red), pooled
// features and paste transforms, mapped read-only; and the driving track.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/manifest.h"

namespace le {

class DriverCursor;

// A read-only private mapping of a whole file.
struct MappedFile {
  const uint8_t* data = nullptr;
  void* addr = nullptr;
  size_t length = 0;
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  MappedFile(MappedFile&& o) noexcept { *this = std::move(o); }
  MappedFile& operator=(MappedFile&& o) noexcept;
  ~MappedFile();
  bool empty() const { return data == nullptr; }
};

// Maps `path`, whose size must be exactly `expected` bytes.
MappedFile mapFile(const std::string& path, size_t expected);
// Exactly `count` little-endian 32-bit values.
std::vector<float> readRaw(const std::string& path, size_t count);

class Identity {
 public:
  explicit Identity(const Manifest& m);
  ~Identity();
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;

  const uint16_t* pooled64(int i) const;
  // Row i of P: in the mapping, or the prior cursor's frame (valid until the
  // next prior operation).
  const uint16_t* P(int i) const;
  const uint16_t* fsRed(int i) const;
  const float* M(int i) const { return &m[static_cast<size_t>(i) * 6]; }
  DriverCursor& prior() const;
  void walkP(int i) const;
  std::string priorBackend() const;
  size_t priorResidentBytes() const;
  uint64_t priorSeeks() const;
  void rescaleM(const Manifest& man);

  bool hasP() const { return !pMap.empty() || !priorPath.empty(); }
  bool hasFsRed() const { return !fsRedMap.empty(); }
  // The warp prior plays from a video: each stream that renders opens its
  // own cursor over it (the cursor's position is the stream's).
  bool usesPriorVideo() const { return pMap.empty() && !priorPath.empty(); }
  std::unique_ptr<DriverCursor> openPrior() const;
  // Gives the mapped tables' resident pages back (the page cache keeps
  // them; the next read maps them again). Safe while others read: the
  // mappings are read-only.
  void releasePages() const;

  int32_t nt = 0;
  int32_t crop = 0;
  MappedFile pooled64Map, pMap, fsRedMap;
  std::vector<float> m;
  std::string priorPath;
  Manifest manifest;

 private:
  mutable std::once_flag priorOnce;
  mutable std::unique_ptr<DriverCursor> prior_;
};

struct Drive {
  std::vector<float> xs, xd;
  std::vector<int32_t> si;
  int32_t frames = 0;
};

// Refuses a bundle without a usable warp prior.
void ensureIdentityMembers(const Manifest& m);
Drive loadDrive(const Manifest& m);
void halfToFloat(const uint16_t* src, float* dst, size_t count);

}  // namespace le
