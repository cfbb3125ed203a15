// The onnxruntime foundation of every engine: the process's one environment,
// the one builder of session options (threads, spinning, profiling, execution
// providers) and the one way a session is opened from a bundle member.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace le::ort {

// The process's environment; created on first use and never destroyed
// (sessions held by process-wide caches may outlive static destructors).
Ort::Env& env();

// Every session's runs allocate from one pool that keeps the blocks a run
// frees for the next run of any session. releaseCached() gives the kept
// blocks back to the system and trims the C heap; returns the blocks' bytes.
// Runs going on meanwhile allocate afresh.
size_t releaseCached();
OrtAllocator* allocator();  // the pool as onnxruntime sees it

struct Settings {
  int threads = 1;        // intra-op threads (clamped to the pool's limits)
  std::string ep;         // "" (CPU) or "coreml[:cpu|gpu|ane|all]"
  std::string cacheDir;   // where CoreML keeps compiled models ("" for the temporary directory)
  bool cuda = false;      // append CUDA first (the audio encoders)
  long cudaMemMib = 0;    // the CUDA arena's limit; <= 0 = 3072
  std::string profile;    // profiling file prefix ("" for none)
  bool spin = false;      // intra-op threads spin while waiting for work
};

// Intra-op threads as asked, one inter-op thread, all graph optimisations,
// spinning only when asked, and the providers asked for. Throws
// "unknown ep '<ep>'" for any other provider.
Ort::SessionOptions options(const Settings& s);

// A session over the bytes of `path` (a regular file of at most
// kMaxModelBytes: onnxruntime's own open would wait forever on a FIFO) or
// over bytes in memory. A float16 Gelu the runtime cannot run makes it retry
// once at basic optimisation.
inline constexpr uint64_t kMaxModelBytes = uint64_t(2) << 30;
std::unique_ptr<Ort::Session> open(const std::string& path, Ort::SessionOptions& options);
std::unique_ptr<Ort::Session> open(const void* bytes, size_t n, const std::string& what, Ort::SessionOptions& options);

// The runs of a session that many streams share: at most `max` at once,
// admitted in arrival order. On the CPU, runs beyond what the cores hold only
// share the same cores, each holding its activations in the session's arena
// all the while.
class RunGate {
 public:
  // At most cores / intra-op threads at once on the CPU; unlimited elsewhere.
  void limitTo(int intraOpThreads, bool cpu);
  // Calls f() once admitted.
  template <typename F>
  void run(F&& f) {
    Pass pass(*this);
    f();
  }
  int peak() const;  // the most runs at once so far
  int max() const { return max_; }

 private:
  struct Pass {
    explicit Pass(RunGate& g);
    ~Pass();
    RunGate& g;
  };
  mutable std::mutex mu_;
  std::condition_variable cv_;
  int max_ = 1 << 20, running_ = 0, peak_ = 0;
  uint64_t tickets_ = 0, admitted_ = 0;
};

}  // namespace le::ort
