#include "audio/shared_w2v.h"

#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "core/bundle.h"
#include "core/manifest.h"
#include "core/ort.h"
#include "kernels/pool.h"
#include "core/log.h"

namespace le::a2x {
namespace {

constexpr const char* kDash = "\xE2\x80\x94";

struct Shared {
  std::mutex mu;
  std::unique_ptr<Ort::Session> w2v8;
  std::string w2v8Path;
  std::unique_ptr<Ort::Session> trunk, head;
  std::string trunkOut;
  int lt = 0;
  bool tried = false;
  std::vector<float> zeroEmb;
};

Shared& shared() {
  static Shared* s = new Shared;  // lives as long as the process
  return *s;
}

Ort::SessionOptions sharedOptions(int threads, const AudioSettings& audio) {
  le::ort::Settings settings;
  settings.threads = threads;
  settings.cuda = audio.cuda;
  settings.cudaMemMib = audio.cudaMemMib;
  return le::ort::options(settings);
}

bool readable(const std::string& path) {
  const int fd = le::openRegularFile(path);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::string dirOf(const std::string& path) {
  // A bare file name lives in the working directory.
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The owner thread of LE_A2X_CUDA=1: one thread that runs every job.
struct Owner {
  std::mutex mu, admit;
  std::condition_variable cv;
  const std::function<void()>* job = nullptr;
  std::exception_ptr error;
  bool done = false;
  bool started = false;
};

Owner& owner() {
  static Owner* o = new Owner;  // never destroyed: the thread outlives every caller
  return *o;
}

thread_local bool tOnOwner = false;

void ownerLoop(Owner* o) {
  tOnOwner = true;
  std::unique_lock<std::mutex> lk(o->mu);
  for (;;) {
    o->cv.wait(lk, [&] { return o->job != nullptr && !o->done; });
    const std::function<void()>* job = o->job;
    lk.unlock();
    std::exception_ptr err;
    try {
      (*job)();
    } catch (...) {
      err = std::current_exception();
    }
    lk.lock();
    o->error = err;
    o->done = true;
    o->cv.notify_all();
  }
}

}  // namespace

Ort::Session* get_shared_w2v(const std::string& path, int threads, const AudioSettings& audio) {
  Shared& s = shared();
  std::lock_guard<std::mutex> lk(s.mu);
  if (s.w2v8) return s.w2v8.get();
  Ort::SessionOptions o = sharedOptions(threads, audio);
  std::unique_ptr<Ort::Session> session;
  le_a2x_on_owner_thread([&] { session = le::ort::open(path, o); }, audio.cuda);
  s.w2v8 = std::move(session);
  s.w2v8Path = path;
  return s.w2v8.get();
}

bool get_shared_w2v_win(int threads, const AudioSettings& audio) {
  const std::string& w2vPath = audio.w2v;
  Shared& s = shared();
  std::lock_guard<std::mutex> lk(s.mu);
  if (s.trunk && s.head) return true;
  if (s.tried) return false;
  s.tried = true;

  std::string trunkPath, headPath;
  if (!audio.w2vWindow.empty() && !audio.w2vHead.empty()) {
    trunkPath = audio.w2vWindow;
    headPath = audio.w2vHead;
  } else {
    const std::string dir = dirOf(w2vPath);
    static const char* const kPairs[][2] = {
        {"audio_encoder_fp16_window_trunk.onnx", "audio_encoder_fp16_window_head.onnx"},
        {"w2v_trunk32.onnx", "w2v_head32.onnx"}};
    for (const auto& p : kPairs) {
      const std::string t = dir + "/" + p[0], h = dir + "/" + p[1];
      if (readable(t) && readable(h)) {
        trunkPath = t;
        headPath = h;
        break;
      }
    }
  }
  if (trunkPath.empty()) {
    log::printf(log::kWarn,
                "[le_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
                "LE_A2X_W2V_WIN_ONNX/LE_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX (%s) as "
                "audio_encoder_fp16_window_{trunk,head}.onnx (legacy w2v_trunk32.onnx/w2v_head32.onnx). Serving "
                "the LEGACY 8s window %s same reference quality, 2.8-3.9x the audio hop cost. Ship the pair "
                "beside the encoder (tools/export_w2v_window).\n",
                w2vPath.c_str(), kDash);
    return false;
  }
  try {
    Ort::SessionOptions o = sharedOptions(threads, audio);
    std::unique_ptr<Ort::Session> trunk, head;
    le_a2x_on_owner_thread(
        [&] {
          trunk = le::ort::open(trunkPath, o);
          head = le::ort::open(headPath, o);
        },
        audio.cuda);
    if (trunk->GetOutputCount() < 1) throw std::runtime_error("trunk declares no output");
    Ort::AllocatorWithDefaultOptions alloc;
    std::string outName = trunk->GetOutputNameAllocated(0, alloc).get();
    const std::vector<int64_t> shape = trunk->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    const int lt = shape.size() >= 3 && shape[2] >= 1 && shape[2] <= (1 << 20) ? static_cast<int>(shape[2]) : 0;
    const std::string ltText = lt > 0 ? std::to_string(lt) : std::string("from-first-run");
    log::printf(log::kInfo, "[le_a2x] short-window w2v frontend loaded (LT=%s) trunk=%s (%lld B) head=%s (%lld B)\n",
                ltText.c_str(), trunkPath.c_str(), w2v_file_bytes(trunkPath.c_str()), headPath.c_str(),
                w2v_file_bytes(headPath.c_str()));
    s.trunk = std::move(trunk);
    s.head = std::move(head);
    s.trunkOut = std::move(outName);
    s.lt = lt;
    return true;
  } catch (const std::exception& e) {
    log::printf(log::kWarn, "[le_a2x] short-window w2v load FAILED (%s) %s legacy 8s path\n", e.what(), kDash);
    s.trunk.reset();
    s.head.reset();
    return false;
  }
}

WinPair shared_w2v_win() {
  Shared& s = shared();
  std::lock_guard<std::mutex> lk(s.mu);
  WinPair p;
  if (!s.trunk || !s.head) return p;
  p.trunk = s.trunk.get();
  p.head = s.head.get();
  p.trunkOut = s.trunkOut;
  p.lt = s.lt;
  return p;
}

void learn_w2v_win_lt(int lt) {
  Shared& s = shared();
  std::lock_guard<std::mutex> lk(s.mu);
  if (s.lt == 0) s.lt = lt;
}

const std::vector<float>& shared_zero_embedding(Ort::Session* w2v, bool cuda) {
  Shared& s = shared();
  std::lock_guard<std::mutex> lk(s.mu);
  if (!s.zeroEmb.empty()) return s.zeroEmb;
  constexpr size_t kIn = 128000, kOut = 12u * 200u * 768u;
  std::vector<float> zeros(kIn, 0.0f), out;
  le_a2x_on_owner_thread(
      [&] {
        Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
        const int64_t shape[2] = {1, static_cast<int64_t>(kIn)};
        Ort::Value in = Ort::Value::CreateTensor<float>(mem, zeros.data(), kIn, shape, 2);
        const char* inName = "input_values";
        const char* outName = "audio_emb";
        std::vector<Ort::Value> r = w2v->Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
        const auto info = r[0].GetTensorTypeAndShapeInfo();
        if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || info.GetElementCount() != kOut)
          throw std::runtime_error("8 s encoder output audio_emb is not float [12, 200, 768]");
        const float* p = r[0].GetTensorData<float>();
        out.assign(p, p + kOut);
      },
      cuda);
  s.zeroEmb = std::move(out);
  return s.zeroEmb;
}

void le_a2x_on_owner_thread(const std::function<void()>& job, bool cuda) {
  if (!cuda || tOnOwner) {
    job();
    return;
  }
  Owner& o = owner();
  std::lock_guard<std::mutex> one(o.admit);
  std::unique_lock<std::mutex> lk(o.mu);
  if (!o.started) {
    std::thread(ownerLoop, &o).detach();
    o.started = true;
  }
  o.job = &job;
  o.done = false;
  o.error = nullptr;
  o.cv.notify_all();
  o.cv.wait(lk, [&] { return o.done; });
  o.job = nullptr;
  std::exception_ptr err = o.error;
  o.error = nullptr;
  lk.unlock();
  if (err) std::rethrow_exception(err);
}

long long w2v_file_bytes(const char* path) {
  if (!path || !*path) return -1;
  struct stat st;
  if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const int fd = le::openRegularFile(path);
  if (fd < 0) return -1;
  ::close(fd);
  return static_cast<long long>(st.st_size);
}

}  // namespace le::a2x
