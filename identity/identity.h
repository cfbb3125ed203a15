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

// A table of half-float rows in a bundle file, kept open and read a row at a
// time: nothing of it stays in the process's memory (the page cache holds the
// file once for every stream of every avatar on it), and a file cut short
// under a running avatar fails the read rather than faulting the process.
class TableFile {
 public:
  TableFile() = default;
  // Opens `path`, whose size must be exactly `expected` bytes; throws "cannot
  // open PATH" or "size mismatch PATH".
  TableFile(const std::string& path, size_t expected);
  TableFile(TableFile&& o) noexcept;
  TableFile& operator=(TableFile&& o) noexcept;
  TableFile(const TableFile&) = delete;
  TableFile& operator=(const TableFile&) = delete;
  ~TableFile();
  bool empty() const { return fd_ < 0; }
  // `count` halves from byte `offset` as floats in dst; throws "PATH: row
  // outside the table at OFFSET" past the size it was opened with, "PATH:
  // short read at OFFSET" when the file no longer holds them.
  void halves(uint64_t offset, size_t count, float* dst) const;

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
  std::string path_;
};
// Exactly `count` little-endian 32-bit values.
std::vector<float> readRaw(const std::string& path, size_t count);

class Identity {
 public:
  explicit Identity(const Manifest& m);
  ~Identity();
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;

  // Row i of a table as floats in dst (pooled64: 65536 values, P: 3 x crop
  // x crop, fsRed: 262144). Throw when the file no longer holds the row.
  void pooled64Row(int i, float* dst) const;
  void pRow(int i, float* dst) const;
  void fsRedRow(int i, float* dst) const;
  // A prior video's frame i (valid until the next prior operation); null
  // when the warp prior is not a video.
  const uint16_t* priorFrame(int i) const;
  const float* M(int i) const { return &m[static_cast<size_t>(i) * 6]; }
  DriverCursor& prior() const;
  void walkP(int i) const;
  std::string priorBackend() const;
  size_t priorResidentBytes() const;
  uint64_t priorSeeks() const;
  void rescaleM(const Manifest& man);

  bool hasP() const { return !pTable.empty() || !priorPath.empty(); }
  bool hasPTable() const { return !pTable.empty(); }
  bool hasFsRed() const { return !fsRedTable.empty(); }
  // The warp prior plays from a video: each stream that renders opens its
  // own cursor over it (the cursor's position is the stream's).
  bool usesPriorVideo() const { return pTable.empty() && !priorPath.empty(); }
  std::unique_ptr<DriverCursor> openPrior() const;

  int32_t nt = 0;
  int32_t crop = 0;
  TableFile pooled64Table, pTable, fsRedTable;
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
