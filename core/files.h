// Reading bundle members: every reader opens only regular files (a FIFO never
// blocks it) and checks the size before it allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace le {

// A whole regular file of at most `limit` bytes. Throws "cannot open <path>",
// "short read <path>" or a size refusal.
std::string readWholeFile(const std::string& path, uint64_t limit);

// A regular file of exactly `bytes` bytes, into `out`. Throws "cannot open
// <path>", "<path> holds N bytes, expected M" or "short read <path>".
void readExact(const std::string& path, void* out, size_t bytes);
std::vector<uint8_t> readExactBytes(const std::string& path, size_t bytes);
// Exactly `count` float32 values.
std::vector<float> readExactFloats(const std::string& path, size_t count);

// The size of a regular file; -1 when `path` is not one.
int64_t regularFileSize(const std::string& path);

}  // namespace le
