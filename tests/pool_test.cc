// The per-thread worker pool.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/lease_pool.h"
#include "core/ort.h"
#include "kernels/pool.h"
#include "tests/support/testutil.h"

namespace le::pool {
namespace {

// A lease pool lends at most its cap at once (the others wait) and lends
// again what came back rather than making more.
TEST(Pool, LeasesAtMostTheCapAndReuseWhatComesBack) {
  LeasePool<int> leases(2);
  std::atomic<int> out{0}, peak{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t)
    threads.emplace_back([&] {
      for (int k = 0; k < 200; ++k) {
        auto lease = leases.take();
        const int now = ++out;
        for (int seen = peak.load(); now > seen && !peak.compare_exchange_weak(seen, now);) {
        }
        ++*lease;
        std::this_thread::yield();
        --out;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(leases.made(), 2u);
  EXPECT_LE(peak.load(), 2);
  {
    auto a = leases.take(), b = leases.take();  // both at once: every use went to one of the two
    EXPECT_EQ(*a + *b, 1200);
    leases.trim();  // both lent: nothing to free
    EXPECT_EQ(leases.made(), 2u);
  }
  leases.trim();
  EXPECT_EQ(leases.made(), 0u);
  EXPECT_EQ(*leases.take(), 0);  // made anew
}

// A run gate over as many intra-op threads as the pool has admits one run
// at a time, whoever asks.
TEST(Pool, ARunGateAdmitsNoMoreThanItsLimit) {
  ort::RunGate gate;
  gate.limitTo(threads(), true);
  ASSERT_EQ(gate.max(), 1);
  std::atomic<int> in{0}, worst{0};
  std::vector<std::thread> runners;
  for (int t = 0; t < 4; ++t)
    runners.emplace_back([&] {
      for (int k = 0; k < 100; ++k)
        gate.run([&] {
          const int now = ++in;
          for (int seen = worst.load(); now > seen && !worst.compare_exchange_weak(seen, now);) {
          }
          std::this_thread::yield();
          --in;
        });
    });
  for (auto& t : runners) t.join();
  EXPECT_EQ(worst.load(), 1);
  EXPECT_EQ(gate.peak(), 1);
}

// Every index is visited exactly once, in contiguous ordered parts.
TEST(Pool, CoversTheRangeOnce) {
  for (size_t n : {0u, 1u, 2u, 3u, 10u, 1001u}) {
    std::vector<std::atomic<int>> hits(n);
    std::mutex mu;
    std::set<std::pair<size_t, size_t>> ranges;
    parallelRange(n, 1, [&](size_t b, size_t e) {
      for (size_t i = b; i < e; ++i) hits[i]++;
      std::lock_guard<std::mutex> l(mu);
      ranges.insert({b, e});
    });
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(hits[i].load(), 1) << n << " " << i;
    size_t next = 0;
    for (const auto& [b, e] : ranges) {
      if (b == e) continue;
      EXPECT_EQ(b, next);
      next = e;
    }
    EXPECT_EQ(next, n);
  }
}

TEST(Pool, NestedRangeOnTheIssuingThreadRunsInline) {
  const auto caller = std::this_thread::get_id();
  std::atomic<int> innerCalls{0};
  std::atomic<bool> innerInline{false};
  parallelRange(100, 1, [&](size_t b, size_t) {
    if (b != 0) return;
    parallelRange(50, 1, [&](size_t ib, size_t ie) {
      ++innerCalls;
      innerInline = ib == 0 && ie == 50 && std::this_thread::get_id() == caller;
    });
  });
  EXPECT_EQ(innerCalls.load(), 1);
  EXPECT_TRUE(innerInline.load());
}

TEST(Pool, NestedRangeOnAWorkerFansOutOnItsOwnPool) {
  if (threads() < 2) GTEST_SKIP() << "one worker thread";
  std::atomic<int> innerParts{0};
  parallelRange(100, 1, [&](size_t b, size_t) {
    if (b == 0) return;
    parallelRange(100, 1, [&](size_t, size_t) { ++innerParts; });
  });
  EXPECT_EQ(innerParts.load(), parts(100, 1));
}

TEST(Pool, ExceptionsReachTheCallerAfterEveryPartFinished) {
  for (int thrower = 0; thrower < std::min(threads(), 2); ++thrower) {
    std::atomic<size_t> done{0};
    try {
      parallelRange(1000, 1, [&](size_t b, size_t e) {
        size_t pb, pe;
        detail::partBounds(1000, parts(1000, 1), thrower, pb, pe);
        if (b == pb) throw std::runtime_error("part failed");
        done += e - b;
      });
      if (parts(1000, 1) > 1 || thrower == 0) ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "part failed");
      size_t pb, pe;
      detail::partBounds(1000, parts(1000, 1), thrower, pb, pe);
      EXPECT_EQ(done.load(), 1000 - (pe - pb));
    }
    // The pool is still usable.
    std::atomic<size_t> sum{0};
    parallelRange(1000, 1, [&](size_t b, size_t e) { sum += e - b; });
    EXPECT_EQ(sum.load(), 1000u);
  }
}

size_t taskCount() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

TEST(Pool, WorkersEndWithTheirThread) {
  if (threads() < 2) GTEST_SKIP() << "no workers to end";
  const size_t before = taskCount();
  std::thread t([] {
    std::atomic<int> n{0};
    parallelRange(100, 1, [&](size_t, size_t) { ++n; });
    EXPECT_EQ(n.load(), parts(100, 1));
  });
  t.join();  // joins the thread, whose exit joined its workers
  EXPECT_EQ(taskCount(), before);
}

std::string probe(const std::string& env) {
  std::string s = le::test::runCommand("env -u LE_CORE_THREADS -u LE_PASTE_THREADS " + env + " " LE_POOL_PROBE);
  while (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

TEST(Pool, WorkerCountFromTheEnvironment) {
  const int hw = static_cast<int>(std::thread::hardware_concurrency());
  auto expect = [&](int want) {
    const int t = hw > 0 && want > hw ? hw : want;
    return std::to_string(t) + " 1 " + std::to_string(t < 2 ? 1 : t);
  };
  EXPECT_EQ(probe("LE_CORE_THREADS=1"), "1 1 1");
  EXPECT_EQ(probe("LE_CORE_THREADS=0"), "1 1 1");
  EXPECT_EQ(probe("LE_CORE_THREADS=-3"), "1 1 1");
  EXPECT_EQ(probe("LE_CORE_THREADS=64"), expect(64));
  EXPECT_EQ(probe(""), expect(4));
  EXPECT_EQ(probe("LE_PASTE_THREADS=1"), "1 1 1");
  EXPECT_EQ(probe("LE_CORE_THREADS= LE_PASTE_THREADS=2"), expect(2));
  EXPECT_EQ(probe("LE_CORE_THREADS=2 LE_PASTE_THREADS=1"), expect(2));
}

}  // namespace
// A worker that cannot start (the system refuses a thread): the workers
// already running are joined and the caller gets the failure, where an
// unjoined thread used to end the process; the next range builds afresh.
TEST(Pool, AWorkerThatCannotStartIsReported) {
  detail::failWorkerStartForTest(3);
  EXPECT_EQ(test::errorOf([] { detail::buildPoolForTest(4); }),
            "pool: cannot start worker thread 3 of 4 (Resource temporarily unavailable)");
  detail::failWorkerStartForTest(0);
  if (threads() < 2) GTEST_SKIP() << "no worker threads to start";
  std::thread([] {
    detail::failWorkerStartForTest(1);
    EXPECT_NE(test::errorOf([] { parallelRange(8, 1, [](size_t, size_t) {}); }).find("pool: cannot start worker"),
              std::string::npos);
    detail::failWorkerStartForTest(0);
    std::atomic<int> n{0};
    parallelRange(8, 1, [&](size_t b, size_t e) { n += static_cast<int>(e - b); });
    EXPECT_EQ(n.load(), 8);
  }).join();
}

}  // namespace le::pool
