// Objects lent to one caller at a time and kept for the next: at most `cap`
// exist, made as they are first needed; a caller finding all of them lent
// waits for one to come back. For scratch that many streams need only while
// they compute, and that only as many of them as there are cores compute at
// once.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace le {

template <typename T>
class LeasePool {
 public:
  explicit LeasePool(size_t cap) : cap_(std::max<size_t>(cap, 1)) {}
  LeasePool(const LeasePool&) = delete;
  LeasePool& operator=(const LeasePool&) = delete;

  class Lease {
   public:
    Lease(Lease&& o) noexcept : pool_(std::exchange(o.pool_, nullptr)), item_(o.item_) {}
    Lease& operator=(Lease&&) = delete;
    ~Lease() {
      if (pool_) pool_->giveBack(item_);
    }
    T& operator*() const { return *item_; }
    T* operator->() const { return item_; }

   private:
    friend class LeasePool;
    Lease(LeasePool* pool, T* item) : pool_(pool), item_(item) {}
    LeasePool* pool_;
    T* item_;
  };

  // A lease must not be taken while the same thread holds another from
  // this pool (it could wait for itself).
  Lease take() {
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait(lk, [this] { return !idle_.empty() || made_.size() < cap_; });
    if (idle_.empty()) {
      made_.push_back(std::make_unique<T>());
      return Lease(this, made_.back().get());
    }
    T* item = idle_.back();
    idle_.pop_back();
    return Lease(this, item);
  }

  // Frees what is not lent now; later takes make anew.
  void trim() {
    std::lock_guard<std::mutex> lk(mu_);
    for (T* item : idle_)
      made_.erase(std::find_if(made_.begin(), made_.end(), [item](const std::unique_ptr<T>& m) { return m.get() == item; }));
    idle_.clear();
  }

  // How many exist (lent or not).
  size_t made() const {
    std::lock_guard<std::mutex> lk(mu_);
    return made_.size();
  }

 private:
  void giveBack(T* item) {
    {
      std::lock_guard<std::mutex> lk(mu_);
      idle_.push_back(item);
    }
    cv_.notify_one();
  }

  const size_t cap_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::unique_ptr<T>> made_;
  std::vector<T*> idle_;
};

}  // namespace le
