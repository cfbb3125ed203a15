// The audio and keypoint framing every engine shares: 16 kHz speech, one
// video frame (25 fps) per 640 samples, keypoint sets of 21 rows of x, y, z.
#pragma once

#include <string>
#include <vector>

namespace le {

inline constexpr int kSampleRate = 16000;
inline constexpr int kFrameSamples = 640;
inline constexpr int kHostKpRows = 21;
inline constexpr int kKpValues = kHostKpRows * 3;  // 63 floats a keypoint set

// A bundle's keypoint track (the member "xs_target.bin" of `dir`): rows of 63
// finite float32. rows > 0: exactly that many rows; rows == 0: any whole
// number of rows from 1 to kMaxTrackRows. Throws on a missing or unreadable
// file, a size that does not fit, or a non-finite value.
inline constexpr int kMaxTrackRows = 1000000;
std::vector<float> loadKeypointTrack(const std::string& dir, int rows);

}  // namespace le
