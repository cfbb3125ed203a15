// The walk over a target keypoint track shared by the audio engines: frame
// p = dir x pulled + start of a track of nt rows, looping (loop != 0) or
// ping-ponging 0, 1, ..., nt - 1, nt - 2, ..., 1, 0, 1, ...
#pragma once

#include <cstdint>

namespace le::audio {

inline int traversalRow(int nt, int64_t p, int loop) {
  if (nt < 2) return 0;
  if (loop != 0) {
    const int64_t r = p % nt;
    return static_cast<int>(r < 0 ? r + nt : r);
  }
  const int64_t period = 2 * (static_cast<int64_t>(nt) - 1);
  int64_t q = p % period;
  if (q < 0) q += period;
  return static_cast<int>(q <= nt - 1 ? q : period - q);
}

// The traversal state of a stream and its reset rule.
struct Traversal {
  int start = 0, dir = 1, loop = 1;

  int row(int nt, int pulled) const { return traversalRow(nt, static_cast<int64_t>(dir) * pulled + start, loop); }

  // start < 0 continues at the row the next frame would have used.
  void reset(int nt, int pulled, int newStart, int newDir, int newLoop) {
    if (newStart < 0) newStart = nt > 1 ? row(nt, pulled) : 0;
    start = newStart;
    dir = newDir < 0 ? -1 : 1;
    loop = newLoop;
  }
};

}  // namespace le::audio
