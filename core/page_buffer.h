// A large buffer mapped straight from the kernel. Its pages read as zero and
// are only backed when first touched, by huge pages where the kernel allows:
// a buffer sized when a stream opens costs nothing until it is used, and a
// 1080p frame then takes a few huge-page faults instead of some 1,500 small
// ones (each of which costs microseconds on a virtual machine).
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <new>
#include <utility>

namespace le {

template <typename T>
class PageBuffer {
 public:
  PageBuffer() = default;
  explicit PageBuffer(size_t n) { assign(n); }
  ~PageBuffer() { release(); }
  PageBuffer(PageBuffer&& o) noexcept : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  PageBuffer& operator=(PageBuffer&& o) noexcept {
    if (this != &o) {
      release();
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
    }
    return *this;
  }
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;

  // n zero elements in place of what was held; throws std::bad_alloc.
  void assign(size_t n) {
    release();
    if (n == 0) return;
    if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    void* p = ::mmap(nullptr, n * sizeof(T), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    ::madvise(p, n * sizeof(T), MADV_HUGEPAGE);
    data_ = static_cast<T*>(p);
    size_ = n;
  }

  T* data() { return data_; }
  const T* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }

 private:
  void release() {
    if (data_) ::munmap(data_, size_ * sizeof(T));
    data_ = nullptr;
    size_ = 0;
  }

  T* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace le
