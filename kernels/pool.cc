#include "kernels/pool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "core/settings.h"
#include "core/thread_name.h"

namespace le::pool {
namespace {

// Waits are timed so that a missed wake-up costs a little latency, never a hang.
constexpr auto kWaitSlice = std::chrono::milliseconds(100);
// How long the issuing thread looks for the other parts to finish before it
// sleeps.
constexpr auto kSpin = std::chrono::microseconds(30);

// Test hook: the worker whose start fails (0: none).
std::atomic<int> failStartAt{0};

int computeThreads() {
  // The worker count is the process's: read once, at the pool's first use.
  int n = fromEnvironment().coreThreads;
  if (n == 0) n = 4;
  const unsigned hw = std::thread::hardware_concurrency();
  if (hw > 0 && static_cast<unsigned>(n) > hw) n = static_cast<int>(hw);
  return n;
}

class Pool {
 public:
  explicit Pool(int workers) {
    threads_.reserve(workers);
    for (int w = 1; w <= workers; ++w) {
      try {
        if (w == failStartAt.load()) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        threads_.emplace_back([this, w] {
          nameThisThread("le-pool");
          work(w);
        });
      } catch (const std::system_error& e) {
        // The workers already running are stopped and joined: an unjoined
        // thread would end the process.
        stopAll();
        throw std::runtime_error("pool: cannot start worker thread " + std::to_string(w) + " of " +
                                 std::to_string(workers) + " (" + e.what() + ")");
      }
    }
  }

  ~Pool() { stopAll(); }

  void stopAll() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
      ++generation_;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
    threads_.clear();
  }

  void run(size_t n, int p, const std::function<void(size_t, size_t)>& fn) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      fn_ = &fn;
      n_ = n;
      parts_ = p;
      pending_ = static_cast<int>(threads_.size());
      error_ = nullptr;
      ++generation_;
    }
    wake_.notify_all();
    size_t b, e;
    detail::partBounds(n, p, 0, b, e);
    runPart(fn, b, e);
    // The other parts usually finish about when ours does: look for that
    // briefly before sleeping, which saves a wake-up (tens of microseconds on
    // a virtual machine) on every short job.
    const auto spinUntil = std::chrono::steady_clock::now() + kSpin;
    for (int k = 0; pending_.load(std::memory_order_acquire) != 0; ++k) {
      if ((k & 63) == 0 && std::chrono::steady_clock::now() >= spinUntil) break;
#if defined(__x86_64__)
      __builtin_ia32_pause();
#endif
    }
    std::unique_lock<std::mutex> lock(mu_);
    while (pending_ != 0) done_.wait_for(lock, kWaitSlice);
    fn_ = nullptr;
    std::exception_ptr err = std::move(error_);
    error_ = nullptr;
    lock.unlock();
    if (err) std::rethrow_exception(err);
  }

 private:
  void runPart(const std::function<void(size_t, size_t)>& fn, size_t b, size_t e) {
    try {
      fn(b, e);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mu_);
      if (!error_) error_ = std::current_exception();
    }
  }

  void work(int w) {
    unsigned long long served = 0;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      while (generation_ == served && !stop_) wake_.wait_for(lock, kWaitSlice);
      if (stop_) return;
      served = generation_;
      const auto* fn = fn_;
      const size_t n = n_;
      const int p = parts_;
      lock.unlock();
      size_t b, e;
      detail::partBounds(n, p, w, b, e);
      if (w < p && b < e) runPart(*fn, b, e);
      lock.lock();
      if (--pending_ == 0) done_.notify_one();
    }
  }

  std::mutex mu_;
  std::condition_variable wake_, done_;
  std::vector<std::thread> threads_;
  const std::function<void(size_t, size_t)>* fn_ = nullptr;
  size_t n_ = 0;
  int parts_ = 0;
  std::atomic<int> pending_{0};  // changed under mu_; read without it while spinning
  unsigned long long generation_ = 0;
  bool stop_ = false;
  std::exception_ptr error_;
};

thread_local bool tBusy = false;
thread_local std::unique_ptr<Pool> tPool;

}  // namespace

int threads() {
  static const int n = computeThreads();
  return n;
}

int clampThreads(int requested) {
  const int t = threads();
  return requested < 1 || requested > t ? t : requested;
}

bool available() { return true; }

int parts(size_t n, size_t grain) {
  const int t = threads();
  if (t < 2) return 1;
  const size_t q = n / std::max<size_t>(grain, 1);
  return q > 1 ? static_cast<int>(std::min<size_t>(q, static_cast<size_t>(t))) : 1;
}

void parallelRange(size_t n, size_t grain, const std::function<void(size_t, size_t)>& fn) {
  if (tBusy) {
    fn(0, n);
    return;
  }
  const int p = parts(n, grain);
  if (p < 2) {
    fn(0, n);
    return;
  }
  if (!tPool) tPool = std::make_unique<Pool>(threads() - 1);
  struct Busy {
    Busy() { tBusy = true; }
    ~Busy() { tBusy = false; }
  } busy;
  tPool->run(n, p, fn);
}

namespace detail {
void failWorkerStartForTest(int worker) { failStartAt = worker; }
void buildPoolForTest(int workers) { Pool pool(workers); }
}  // namespace detail

}  // namespace le::pool
