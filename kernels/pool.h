// Data parallelism: an index range split into contiguous parts that run on
// the calling thread and its own worker threads at once.
#pragma once

#include <cstddef>
#include <functional>

namespace le::pool {

// Engine-wide worker count, fixed on first call: LE_CORE_THREADS, else
// LE_PASTE_THREADS, else 4; at least 1, at most the hardware concurrency.
int threads();

// The one rule for a thread count a caller asks for: below 1 or above
// threads(), threads(). A count from a host never reaches onnxruntime
// unbounded.
int clampThreads(int requested);

// Always true: the pool needs nothing the platform may lack.
bool available();

// How many parts a range of n items with the given grain is split into.
int parts(size_t n, size_t grain);

// Runs fn over [0, n) in contiguous parts, part 0 on the calling thread, and
// returns when all are done. A range issued while the calling thread is
// already issuing one runs inline. If parts throw, the others still finish
// and the first exception is rethrown here.
void parallelRange(size_t n, size_t grain, const std::function<void(size_t, size_t)>& fn);

namespace detail {
// Bounds of part k of p over n items: [k * chunk, min(n, (k + 1) * chunk)) with
// chunk = ceil(n / p); trailing parts may be short or empty.
inline void partBounds(size_t n, int p, int k, size_t& begin, size_t& end) {
  const size_t chunk = (n + static_cast<size_t>(p) - 1) / static_cast<size_t>(p);
  const size_t b = static_cast<size_t>(k) * chunk;
  begin = b < n ? b : n;
  end = b + chunk < n ? b + chunk : n;
}
// For tests: the pool built next fails to start worker `worker` (0: none),
// as when the system refuses a thread.
void failWorkerStartForTest(int worker);
// For tests: builds and ends a pool of `workers` threads.
void buildPoolForTest(int workers);
}  // namespace detail

}  // namespace le::pool
