#include "driver/cursor.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/bundle.h"
#include "core/manifest.h"
#include "core/page_buffer.h"
#include "kernels/pool.h"
#include "kernels/simd.h"
#include "core/log.h"
#include "core/thread_name.h"

namespace le {

// Sources that store what they deliver.
void driver::Source::expand(const uint8_t* stored, uint8_t* out, int pixelBytes) const {
  if (pixelBytes == 3) {
    std::memcpy(out, stored, frameBytes());
    return;
  }
  if (pixelBytes != 4 || frameBytes() != static_cast<size_t>(W()) * H() * 3)
    throw std::runtime_error("le_driver: " + name() + " frames have no RGBA form");
  const size_t w = static_cast<size_t>(W());
  pool::parallelRange(static_cast<size_t>(H()), 64, [&](size_t b, size_t e) {
    simd::rgb24ToRgba(stored + b * w * 3, out + b * w * 4, (e - b) * w);
  });
}

bool driver::Source::nextWindow(uint8_t*, const FrameWindow&) {
  throw std::runtime_error("le_driver: " + name() + " cannot decode a window alone");
}

void driver::Source::expandWindow(const uint8_t* stored, uint8_t* out, const FrameWindow& win) const {
  if (frameBytes() != static_cast<size_t>(W()) * H() * 3)
    throw std::runtime_error("le_driver: " + name() + " frames have no window form");
  const size_t rowBytes = static_cast<size_t>(win.w) * 3;
  for (int y = 0; y < win.h; ++y)
    std::memcpy(out + y * rowBytes, stored + ((static_cast<size_t>(win.y) + y) * W() + win.x) * 3, rowBytes);
}

namespace {

constexpr const char* kDash = "\xE2\x80\x94";
// Waits are sliced so that a lost wake-up can only delay, never hang.
constexpr auto kSlice = std::chrono::milliseconds(50);

bool fileExists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

// The kept window of every frame of one driver video, decoded once and shared
// by the cursors over the same file and window: once every frame is in, they
// copy frames instead of decoding them. Frames go in under the mutex; once
// `complete` is seen set, they are only read.
struct FrameStore {
  std::mutex m;
  std::vector<std::unique_ptr<uint8_t[]>> frames;
  size_t bytes = 0;
  int have = 0;
  std::atomic<bool> complete{false};

  void put(int f, const uint8_t* p) {
    std::lock_guard<std::mutex> l(m);
    if (f < 0 || static_cast<size_t>(f) >= frames.size() || frames[static_cast<size_t>(f)]) return;
    frames[static_cast<size_t>(f)].reset(new uint8_t[bytes]);
    std::memcpy(frames[static_cast<size_t>(f)].get(), p, bytes);
    if (++have == static_cast<int>(frames.size())) complete.store(true, std::memory_order_release);
  }
};

// A whole loop of windows costs at most this much memory, once per video and
// window however many cursors share it.
constexpr size_t kStoreBudget = size_t{160} << 20;

std::shared_ptr<FrameStore> storeFor(const std::string& key, int nt, size_t bytes) {
  static std::mutex m;
  static std::map<std::string, std::weak_ptr<FrameStore>> stores;
  std::lock_guard<std::mutex> l(m);
  for (auto it = stores.begin(); it != stores.end();) it = it->second.expired() ? stores.erase(it) : std::next(it);
  std::shared_ptr<FrameStore> s = stores[key].lock();
  if (!s) {
    s = std::make_shared<FrameStore>();
    s->frames.resize(static_cast<size_t>(nt));
    s->bytes = bytes;
    stores[key] = s;
  }
  return s;
}

}  // namespace

struct DriverCursor::Impl {
  std::unique_ptr<driver::Source> source;
  int nt = 0, w = 0, h = 0;
  size_t frameBytes = 0, storedBytes = 0;
  bool storesDelivered = true;
  int lookahead = 1, history = 0, slots = 2;
  // One mapping for all slots, backed by huge pages where the kernel allows:
  // a 1080p ring of 4:2:0 frames is some 45 MB, streamed through once per loop.
  PageBuffer<uint8_t> ring;
  uint8_t* slotData(size_t slot) { return ring.data() + slot * slotBytes; }
  // keepWindow: the part of each frame a slot holds (empty: all of it), as
  // 4:2:0 planes (I420 sources) or RGB rows, and the whole frame decoded
  // before it is cut.
  FrameWindow kept;
  bool keptI420 = false;
  size_t slotBytes = 0;
  PageBuffer<uint8_t> whole;
  bool pausing = false;
  // The pointer pulls' frame when stored frames need expanding; mapped on
  // first use.
  PageBuffer<uint8_t> view;
  std::vector<int> slotFrame;
  std::mutex ringMutex;
  mutable std::mutex pullMutex;
  std::condition_variable wantSpace, haveFrame;
  uint64_t readSeq = 0, writeSeq = 0;
  int writing = 0;
  int srcNext = 0, position = 0, decoderAt = 0, pendingSeek = -1;
  uint64_t generation = 0;
  bool stop = false;
  std::string error;
  uint64_t seeks = 0, decoded = 0;
  std::shared_ptr<FrameStore> store;  // windows only, when a loop of them fits the budget
  bool sourceIdle = false;             // the reader's own: the source gave back its decoder
  // After keepWindow(): the reader waits for the next pull before it decodes
  // (a session that ends gives the whole frame back to a context that is
  // often destroyed right after, and a 1080p seek costs a few hundred ms).
  bool dormant = false;
  std::thread reader;

  ~Impl() {
    {
      std::lock_guard<std::mutex> l(ringMutex);
      stop = true;
    }
    wantSpace.notify_all();
    haveFrame.notify_all();
    if (reader.joinable()) reader.join();
  }

  void fail(const std::string& text) {  // under ringMutex
    if (error.empty()) error = text;
    haveFrame.notify_all();
  }

  void run() {
    std::unique_lock<std::mutex> l(ringMutex);
    for (;;) {
      if (stop) return;
      if (dormant) {
        wantSpace.wait_for(l, kSlice);
        continue;
      }
      if (pendingSeek >= 0) {
        const int i = pendingSeek;
        srcNext = i;
        pendingSeek = -1;
        if (store && store->complete.load(std::memory_order_acquire)) continue;  // nothing left to decode
        l.unlock();
        std::string err;
        sourceIdle = false;
        try {
          source->seek(i);
        } catch (const std::exception& e) {
          err = e.what();
        }
        l.lock();
        if (!err.empty()) {
          fail("le_driver: seek failed: " + err);
          return;
        }
        decoderAt = i;
        continue;
      }
      if (pausing) {
        wantSpace.wait_for(l, kSlice);
        continue;
      }
      if (writeSeq - readSeq < static_cast<uint64_t>(lookahead)) {
        if (!produce(l)) return;
        continue;
      }
      wantSpace.wait_for(l, kSlice);
    }
  }

  // Decodes one frame into the slot of writeSeq; false when the reader must exit.
  bool produce(std::unique_lock<std::mutex>& l) {
    const uint64_t gen = generation;
    writing = 1;
    const size_t slot = writeSeq % slots;
    const int f = srcNext;
    uint8_t* buf = slotData(slot);
    const std::shared_ptr<FrameStore> shared = store;
    const bool copied = shared && shared->complete.load(std::memory_order_acquire);
    l.unlock();
    std::string err;
    bool got = false;
    try {
      if (copied) {
        // Every frame is in the store: the decoder's pictures go back.
        if (!sourceIdle) source->idle();
        sourceIdle = true;
        std::memcpy(buf, shared->frames[static_cast<size_t>(f)].get(), slotBytes);
        got = true;
      } else {
        sourceIdle = false;
        if (decoderAt == nt) {
          source->rewind();
          decoderAt = 0;
        }
        if (kept.w == 0) {
          got = source->next(buf);
        } else if (whole.size() == 0) {
          got = source->nextWindow(buf, kept);
        } else {
          got = source->next(whole.data());
          if (got) cut(whole.data(), buf);
        }
      }
    } catch (const std::exception& e) {
      err = std::string("le_driver: ") + e.what();
    }
    if (shared && !copied && got && err.empty() && decoderAt == f) shared->put(f, buf);
    l.lock();
    writing = 0;
    if (!err.empty()) {
      fail(err);
      return false;
    }
    if (!got) {
      fail("le_driver: " + source->name() + " ended after " + std::to_string(decoderAt) +
           " frames, the manifest says NT=" + std::to_string(nt) + " " + kDash +
           " a short driver is a session that stops part way through the loop, refusing");
      return false;
    }
    if (copied) {
      decoderAt = 0;  // an idle source starts again from the first frame
    } else {
      ++decoderAt;
      ++decoded;
    }
    if (gen == generation) {
      slotFrame[slot] = f;
      ++writeSeq;
      srcNext = (f + 1) % nt;
      haveFrame.notify_all();
    } else {
      slotFrame[slot] = -1;  // what it held was written over
    }
    return true;
  }

  void seekLocked(int i) {  // under ringMutex
    if (i < 0 || i >= nt)
      throw std::runtime_error("le_driver: seek(" + std::to_string(i) + ") outside [0," + std::to_string(nt) + ")");
    if (!error.empty()) throw std::runtime_error(error);
    if (dormant) {
      dormant = false;
      wantSpace.notify_all();
    }
    position = i;
    const int nextUp = readSeq < writeSeq ? slotFrame[readSeq % slots] : pendingSeek >= 0 ? pendingSeek : srcNext;
    if (nextUp == i) return;
    if (pendingSeek < 0) {
      uint64_t from = 0;
      if (writeSeq >= static_cast<uint64_t>(slots)) from = writeSeq - slots + writing;
      if (readSeq > static_cast<uint64_t>(history) + 1) from = std::max(from, readSeq - 1 - history);
      for (uint64_t s = from; s < writeSeq; ++s) {
        if (slotFrame[s % slots] == i) {
          readSeq = s;
          wantSpace.notify_all();
          return;
        }
      }
      if (srcNext == i) {
        readSeq = writeSeq;
        wantSpace.notify_all();
        return;
      }
    }
    ++generation;
    ++seeks;
    readSeq = writeSeq;
    pendingSeek = i;
    wantSpace.notify_all();
  }

  const uint8_t* take(std::unique_lock<std::mutex>& l, int* idx) {  // l holds ringMutex
    while (error.empty() && readSeq >= writeSeq) haveFrame.wait_for(l, kSlice);
    if (!error.empty()) throw std::runtime_error(error);
    const size_t slot = readSeq % slots;
    ++readSeq;
    wantSpace.notify_all();
    const int index = slotFrame[slot];
    position = (index + 1) % nt;
    if (idx) *idx = index;
    return slotData(slot);
  }

  // Seeks to `target` (the current position for sequential pulls) and takes
  // the frame that arrives. The caller holds pullMutex.
  const uint8_t* deliver(int target, bool sequential, int* idx) {
    std::unique_lock<std::mutex> l(ringMutex);
    seekLocked(sequential ? position : target);
    return take(l, idx);
  }

  // The kept window of a whole stored frame.
  void cut(const uint8_t* from, uint8_t* to) const {
    const FrameWindow& k = kept;
    if (!keptI420) {
      for (int r = 0; r < k.h; ++r)
        std::memcpy(to + static_cast<size_t>(r) * k.w * 3, from + ((static_cast<size_t>(k.y) + r) * w + k.x) * 3,
                    static_cast<size_t>(k.w) * 3);
      return;
    }
    const size_t cw = (static_cast<size_t>(w) + 1) / 2, ch = (static_cast<size_t>(h) + 1) / 2;
    const size_t kcw = (static_cast<size_t>(k.w) + 1) / 2, kch = (static_cast<size_t>(k.h) + 1) / 2;
    for (int r = 0; r < k.h; ++r)
      std::memcpy(to + static_cast<size_t>(r) * k.w, from + (static_cast<size_t>(k.y) + r) * w + k.x, k.w);
    const uint8_t* u = from + static_cast<size_t>(w) * h;
    uint8_t* ku = to + static_cast<size_t>(k.w) * k.h;
    for (int plane = 0; plane < 2; ++plane)
      for (size_t r = 0; r < kch; ++r)
        std::memcpy(ku + plane * kcw * kch + r * kcw, u + plane * cw * ch + (k.y / 2 + r) * cw + k.x / 2, kcw);
  }

  // Window `win` (inside the kept one) of a kept frame as RGB24: the bytes
  // the source's own expandWindow gives from the whole frame.
  void expandKept(const uint8_t* slot, uint8_t* out, const FrameWindow& win) const {
    const FrameWindow& k = kept;
    if (win.x < k.x || win.y < k.y || win.x + win.w > k.x + k.w || win.y + win.h > k.y + k.h)
      throw std::runtime_error("le_driver: the window asked for is not inside the window the cursor keeps");
    if (!keptI420) {
      for (int r = 0; r < win.h; ++r)
        std::memcpy(out + static_cast<size_t>(r) * win.w * 3,
                    slot + ((static_cast<size_t>(win.y - k.y) + r) * k.w + (win.x - k.x)) * 3,
                    static_cast<size_t>(win.w) * 3);
      return;
    }
    const size_t kw = static_cast<size_t>(k.w), kcw = (kw + 1) / 2, kch = (static_cast<size_t>(k.h) + 1) / 2;
    const uint8_t* Y = slot;
    const uint8_t* U = Y + kw * k.h;
    const uint8_t* V = U + kcw * kch;
    // As the source's: an odd window starts on its chroma pair.
    const int x0 = win.x & ~1, lead = win.x - x0, n = win.w + lead;
    pool::parallelRange(static_cast<size_t>(win.h), 64, [&](size_t b, size_t e) {
      thread_local std::vector<uint8_t> row;
      if (lead && row.size() < static_cast<size_t>(n) * 3) row.resize(static_cast<size_t>(n) * 3);
      for (size_t r = b; r < e; ++r) {
        const size_t y = win.y + r - k.y, cy = (win.y + r) / 2 - k.y / 2, cx = (x0 - k.x) / 2;
        uint8_t* dst = out + r * win.w * 3;
        simd::yuv420RowToRgb24(Y + y * kw + (x0 - k.x), U + cy * kcw + cx, V + cy * kcw + cx, n, 1,
                               lead ? row.data() : dst);
        if (lead) std::memcpy(dst, row.data() + 3, static_cast<size_t>(win.w) * 3);
      }
    });
  }

  // Stored as 4:2:0 planes (Y, U, V, each row-packed).
  bool planes() const {
    return !storesDelivered &&
           storedBytes == static_cast<size_t>(w) * h + 2 * ((static_cast<size_t>(w) + 1) / 2) *
                                                          ((static_cast<size_t>(h) + 1) / 2);
  }

  void wholeFramesOnly() const {
    if (kept.w != 0) throw std::runtime_error("le_driver: the cursor keeps only a window of each frame");
  }

  // A delivered frame as the pointer pulls hand it out. The caller holds pullMutex.
  const uint8_t* viewOf(const uint8_t* stored) {
    if (storesDelivered) return stored;
    if (view.size() != frameBytes) view.assign(frameBytes);
    source->expand(stored, view.data());
    return view.data();
  }
};

DriverCursor::DriverCursor(std::unique_ptr<Impl> impl)
    : impl_(std::move(impl)), nt_(impl_->nt), w_(impl_->w), h_(impl_->h), frameBytes_(impl_->frameBytes),
      name_(impl_->source->name()) {}

DriverCursor::~DriverCursor() = default;

std::unique_ptr<DriverCursor> DriverCursor::over(std::unique_ptr<driver::Source> source, int lookahead, int history) {
  // The ring holds look-ahead + history + 1 frames: bounded, so that no
  // caller's count can overflow it or reserve gigabytes.
  if (lookahead > kMaxLookahead || history > kMaxHistory)
    throw std::runtime_error("le_driver: look-ahead " + std::to_string(lookahead) + " and history " +
                             std::to_string(history) + " frames; at most " + std::to_string(kMaxLookahead) + " and " +
                             std::to_string(kMaxHistory));
  auto impl = std::make_unique<Impl>();
  impl->nt = source->NT();
  impl->w = source->W();
  impl->h = source->H();
  impl->frameBytes = source->frameBytes();
  impl->storedBytes = source->storedBytes();
  impl->storesDelivered = source->storesDelivered();
  impl->source = std::move(source);
  impl->lookahead = std::max(1, lookahead);
  impl->history = std::max(0, history);
  impl->slots = impl->lookahead + impl->history + 1;
  impl->slotBytes = impl->storedBytes;
  try {
    impl->ring.assign(std::max<size_t>(1, static_cast<size_t>(impl->slots) * impl->storedBytes));
  } catch (const std::bad_alloc&) {
    throw std::runtime_error("le_driver: cannot allocate the frame ring");
  }
  impl->slotFrame.assign(impl->slots, -1);
  Impl* raw = impl.get();
  std::unique_ptr<DriverCursor> c(new DriverCursor(std::move(impl)));
  raw->reader = std::thread([raw] {
    nameThisThread("le-driver");
    raw->run();
  });
  return c;
}

void DriverCursor::seek(int i) {
  std::lock_guard<std::mutex> p(impl_->pullMutex);
  std::lock_guard<std::mutex> l(impl_->ringMutex);
  impl_->seekLocked(i);
}

// The copying pulls expand under the pull mutex: another consumer's pulls and
// seeks could otherwise move the history window past the slot mid-copy and
// let the reader overwrite it.
int DriverCursor::pull(uint8_t* out) {
  std::lock_guard<std::mutex> p(impl_->pullMutex);
  impl_->wholeFramesOnly();
  int idx = -1;
  impl_->source->expand(impl_->deliver(0, true, &idx), out);
  return idx;
}

const uint8_t* DriverCursor::pull(int* idx) {
  std::lock_guard<std::mutex> p(impl_->pullMutex);
  impl_->wholeFramesOnly();
  return impl_->viewOf(impl_->deliver(0, true, idx));
}

namespace {
void expectFrame(int got, int want) {
  if (got != want)
    throw std::runtime_error("le_driver: cursor yielded frame " + std::to_string(got) + " for si=" +
                             std::to_string(want));
}
}  // namespace

int DriverCursor::pullAt(int i, uint8_t* out) {
  std::lock_guard<std::mutex> p(impl_->pullMutex);
  impl_->wholeFramesOnly();
  int got = -1;
  const uint8_t* f = impl_->deliver(i, false, &got);
  expectFrame(got, i);
  impl_->source->expand(f, out);
  return got;
}

int DriverCursor::pullWindowAt(int i, uint8_t* out, const FrameWindow& win) {
  std::lock_guard<std::mutex> p(impl_->pullMutex);
  int got = -1;
  const uint8_t* f = impl_->deliver(i, false, &got);
  expectFrame(got, i);
  if (impl_->kept.w != 0) impl_->expandKept(f, out, win);
  else impl_->source->expandWindow(f, out, win);
  return got;
}

const uint8_t* DriverCursor::pullAt(int i, int* idx) {
  std::lock_guard<std::mutex> p(impl_->pullMutex);
  return impl_->viewOf(pullStoredLocked(i, idx));
}

const uint8_t* DriverCursor::pullStoredAt(int i, int* idx) {
  std::lock_guard<std::mutex> p(impl_->pullMutex);
  return pullStoredLocked(i, idx);
}

const uint8_t* DriverCursor::pullStoredLocked(int i, int* idx) {
  impl_->wholeFramesOnly();
  int got = -1;
  const uint8_t* f = impl_->deliver(i, false, &got);
  expectFrame(got, i);
  if (idx) *idx = got;
  return f;
}

int DriverCursor::deliverAt(int i) {
  std::lock_guard<std::mutex> p(impl_->pullMutex);
  int got = -1;
  impl_->deliver(i, false, &got);
  expectFrame(got, i);
  return got;
}

bool DriverCursor::storesPlanes() const { return impl_->planes(); }

bool DriverCursor::useHeld(int i, const FrameWindow& win, const std::function<void(const HeldPlanes&)>& use) {
  Impl& I = *impl_;
  if (!I.planes() || (win.x | win.y) & 1) return false;
  // The ring's lock alone: the reader cannot begin another frame under it,
  // and a window or a frame held changes only under it, so what a slot holds
  // stays put while it is used. Not the pulls' lock, which a pull keeps
  // while it waits for the reader to decode the frame it wants.
  std::lock_guard<std::mutex> l(I.ringMutex);
  const FrameWindow k = I.kept.w ? I.kept : FrameWindow::whole(I.w, I.h);
  if (win.x < k.x || win.y < k.y || win.x + win.w > k.x + k.w || win.y + win.h > k.y + k.h) return false;
  const uint64_t slots = static_cast<uint64_t>(I.slots);
  const uint64_t from = I.writeSeq >= slots ? I.writeSeq - slots + I.writing : 0;
  for (uint64_t s = I.writeSeq; s-- > from;) {
    if (I.slotFrame[s % slots] != i) continue;
    const uint8_t* Y = I.slotData(s % slots);
    const size_t kw = static_cast<size_t>(k.w), kcw = (kw + 1) / 2, kch = (static_cast<size_t>(k.h) + 1) / 2;
    const uint8_t* U = Y + kw * k.h;
    const uint8_t* V = U + kcw * kch;
    const size_t x = win.x - k.x, y = win.y - k.y;
    use(HeldPlanes{Y + y * kw + x, kw, U + (y / 2) * kcw + x / 2, V + (y / 2) * kcw + x / 2, kcw});
    return true;
  }
  return false;
}

void DriverCursor::expand(const uint8_t* stored, uint8_t* out, int pixelBytes) const {
  impl_->source->expand(stored, out, pixelBytes);
}

int DriverCursor::position() const {
  std::lock_guard<std::mutex> l(impl_->ringMutex);
  return impl_->position;
}

uint64_t DriverCursor::seeks() const {
  std::lock_guard<std::mutex> l(impl_->ringMutex);
  return impl_->seeks;
}

uint64_t DriverCursor::decoded() const {
  std::lock_guard<std::mutex> l(impl_->ringMutex);
  return impl_->decoded;
}

void DriverCursor::keepWindow(const FrameWindow& win) {
  Impl& I = *impl_;
  std::lock_guard<std::mutex> p(I.pullMutex);
  std::unique_lock<std::mutex> l(I.ringMutex);
  FrameWindow k = win;
  const bool i420 = I.planes();
  if (k.w != 0 || k.h != 0) {
    k.check(I.w, I.h, "kept window");
    if (!i420 && !(I.storesDelivered && I.frameBytes == static_cast<size_t>(I.w) * I.h * 3)) return;  // kept whole
    if (i420) {  // whole chroma pairs
      const int x1 = std::min(I.w, (k.x + k.w + 1) & ~1), y1 = std::min(I.h, (k.y + k.h + 1) & ~1);
      k.x &= ~1;
      k.y &= ~1;
      k.w = x1 - k.x;
      k.h = y1 - k.y;
    }
    if (k.covers(I.w, I.h)) k = FrameWindow{};
  } else {
    k = FrameWindow{};
  }
  if (k.x == I.kept.x && k.y == I.kept.y && k.w == I.kept.w && k.h == I.kept.h) return;
  // The reader leaves the ring alone while it is cut anew.
  I.pausing = true;
  while (I.writing && I.error.empty()) I.haveFrame.wait_for(l, kSlice);
  const size_t bytes = k.w == 0 ? I.storedBytes
                       : i420   ? static_cast<size_t>(k.w) * k.h + 2 * ((static_cast<size_t>(k.w) + 1) / 2) *
                                                                     ((static_cast<size_t>(k.h) + 1) / 2)
                                : static_cast<size_t>(k.w) * k.h * 3;
  I.kept = k;
  I.keptI420 = i420;
  I.slotBytes = bytes;
  const std::string identity = k.w == 0 ? std::string() : I.source->identity();
  I.store.reset();
  if (!identity.empty() && static_cast<size_t>(I.nt) * bytes <= kStoreBudget)
    I.store = storeFor(identity + "\n" + std::to_string(k.x) + "," + std::to_string(k.y) + " " + std::to_string(k.w) +
                           "x" + std::to_string(k.h) + (i420 ? " i420" : " rgb") + " " + std::to_string(I.nt),
                       I.nt, bytes);
  I.ring.assign(std::max<size_t>(1, static_cast<size_t>(I.slots) * bytes));
  // A source that cuts the window itself needs no whole frame to cut from.
  if (k.w == 0 || (i420 && I.source->cutsWindows())) I.whole = PageBuffer<uint8_t>();
  else if (I.whole.size() != I.storedBytes) I.whole.assign(I.storedBytes);
  std::fill(I.slotFrame.begin(), I.slotFrame.end(), -1);
  // The frames held are gone: the reader starts again where the consumer is.
  ++I.generation;
  I.readSeq = I.writeSeq;
  I.pendingSeek = I.position;
  I.dormant = true;
  I.pausing = false;
  I.wantSpace.notify_all();
}

void DriverCursor::releaseView() {
  std::lock_guard<std::mutex> p(impl_->pullMutex);
  impl_->view = PageBuffer<uint8_t>();
}

size_t DriverCursor::residentBytes() const {
  std::lock_guard<std::mutex> p(impl_->pullMutex);
  return static_cast<size_t>(impl_->slots) * impl_->slotBytes + impl_->whole.size() + impl_->view.size() +
         impl_->source->residentBytes();
}

std::unique_ptr<DriverCursor> DriverCursor::open(const Manifest& m, int lookahead, int history,
                                                 const DriverSettings& settings) {
  const std::string& dirName = m.targetFrames;
  const std::string& videoName = m.targetFramesMp4;
  const std::string dir = resolveMember(m.dir, dirName);
  const std::string video = resolveMember(m.dir, videoName);
  char last[32];
  std::snprintf(last, sizeof last, "/frame_%06d.jpg", m.nt - 1);
  const bool populated = fileExists(dir + last);
  const bool preferVideo = settings.preferVideo && fileExists(video);
  if (preferVideo && populated)
    log::printf(log::kWarn, "[le-driver] LE_DRIVER_PREFER_MP4=1 %s %s/ is populated and NOT used; %s is the member this consumer reads\n",
                kDash, dir.c_str(), video.c_str());
  if (!preferVideo && populated) {
    log::printf(log::kInfo, "[le-driver] %s/ (raw jpg, %d frames) %s read one frame per pull\n", dir.c_str(), m.nt, kDash);
    return over(driver::openJpgDir(dir, m.nt, m.W, m.H), lookahead, history);
  }
  if (!fileExists(video))
    throw std::runtime_error("this bundle carries neither a populated " + dirName + "/ nor " + videoName + " (" + video +
                             ") " + kDash + " there is no driver video to play. REFUSING to create a session.");
  auto src = driver::openMp4(video, m.nt, m.W, m.H, settings.hwdec);
  const std::string backend = src->name();
  log::printf(log::kInfo,
              "[le-driver] %s decoded IN PLACE (%s, %d frames %dx%d, look-ahead %d, history %d) %s no frame of the "
              "driver is expanded ahead of the paste\n",
              video.c_str(), backend.c_str(), m.nt, m.W, m.H, std::max(1, lookahead), std::max(0, history), kDash);
  return over(std::move(src), lookahead, history);
}

std::unique_ptr<DriverCursor> DriverCursor::openPrior(const Manifest& m, int lookahead, int history) {
  const std::string name = m.priorVideo();
  const std::string path = resolveMember(m.dir, name);
  if (!fileExists(path))
    throw std::runtime_error("this bundle carries neither a raw P.f16 nor " + name + " (" + path + ") " + kDash +
                             " there is no warp prior to play. REFUSING to create a session.");
  auto src = driver::openPriorHevc(path, m.nt, m.crop);
  log::printf(log::kInfo, "Corvalux: identity source ready %s %d frames %dx%d, played straight from %s (%s); nothing is unpacked to disk\n",
              kDash, m.nt, m.crop, m.crop, path.c_str(), src->name().c_str());
  return over(std::move(src), lookahead, history);
}

}  // namespace le
