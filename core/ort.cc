#include "core/ort.h"

#include <malloc.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>
#include <filesystem>

#include "core/files.h"
#include "kernels/pool.h"
#include "core/log.h"

namespace le::ort {
namespace {

bool startsWith(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

void appendCoreMl(Ort::SessionOptions& o, const Settings& s) {
  const std::string units = s.ep.size() > 7 ? s.ep.substr(7) : "all";
  const char* computeUnits = units == "cpu"   ? "CPUOnly"
                             : units == "gpu" ? "CPUAndGPU"
                             : units == "ane" ? "CPUAndNeuralEngine"
                                              : "ALL";
  std::string cache = s.cacheDir;
  if (cache.empty()) {
    std::error_code ec;
    cache = (std::filesystem::temp_directory_path(ec) / "le_coreml").string();
  }
  o.AppendExecutionProvider("CoreML",
                            {{"ModelFormat", "MLProgram"}, {"MLComputeUnits", computeUnits}, {"ModelCacheDirectory", cache}});
}

void appendCuda(Ort::SessionOptions& options, long mib) {
  const size_t useMib = mib > 0 ? static_cast<size_t>(mib) : 3072u;
  const std::string bytes = std::to_string(useMib * 1048576ull);
  const OrtApi& api = Ort::GetApi();
  OrtCUDAProviderOptionsV2* cuda = nullptr;
  std::string error;
  auto check = [&](OrtStatus* st) {
    if (!st) return true;
    error = api.GetErrorMessage(st);
    api.ReleaseStatus(st);
    return false;
  };
  if (check(api.CreateCUDAProviderOptions(&cuda))) {
    const char* keys[6] = {"device_id", "arena_extend_strategy", "gpu_mem_limit",
                           "cudnn_conv_use_max_workspace", "use_tf32", "use_ep_level_unified_stream"};
    const char* values[6] = {"0", "kSameAsRequested", bytes.c_str(), "0", "0", "1"};
    if (check(api.UpdateCUDAProviderOptions(cuda, keys, values, 6)) &&
        check(api.SessionOptionsAppendExecutionProvider_CUDA_V2(options, cuda))) {
      api.ReleaseCUDAProviderOptions(cuda);
      log::printf(log::kInfo, "[le_a2x] CUDA EP appended (w2v, V2: no-max-workspace, mem<=%zuMiB)\n", useMib);
      return;
    }
  }
  if (cuda) api.ReleaseCUDAProviderOptions(cuda);
  log::printf(log::kWarn, "[le_a2x] CUDA EP append failed (w2v): %s -- falling back to CPU\n", error.c_str());
}

}  // namespace

namespace {
// onnxruntime's own lines join the library's at their levels; its
// informational chatter stays below the default level.
void ortLog(void*, OrtLoggingLevel severity, const char* category, const char*, const char* where,
            const char* message) {
  const log::Level level = severity >= ORT_LOGGING_LEVEL_ERROR     ? log::kError
                           : severity == ORT_LOGGING_LEVEL_WARNING ? log::kWarn
                                                                   : log::kDebug;
  log::printf(level, "[onnxruntime] %s %s: %s", category ? category : "", where ? where : "", message ? message : "");
}
}  // namespace

namespace {
// The CPU memory of every session's runs. A block a run hands back is kept,
// by size class, for the next run of any session (a stream's runs ask for
// the same sizes frame after frame); releaseCached() gives the kept blocks
// back to the system. Small blocks and those a session keeps for its
// lifetime (weights) go straight to the heap.
class BlockPool : public OrtAllocator {
 public:
  BlockPool() {
    version = ORT_API_VERSION;
    OrtAllocator::Alloc = [](OrtAllocator* a, size_t n) { return static_cast<BlockPool*>(a)->take(n, true); };
    OrtAllocator::Free = [](OrtAllocator* a, void* p) { static_cast<BlockPool*>(a)->give(p); };
    OrtAllocator::Info = [](const OrtAllocator* a) -> const OrtMemoryInfo* {
      return static_cast<const BlockPool*>(a)->info_;
    };
    OrtAllocator::Reserve = [](OrtAllocator* a, size_t n) { return static_cast<BlockPool*>(a)->take(n, false); };
    Ort::ThrowOnError(Ort::GetApi().CreateCpuMemoryInfo(OrtDeviceAllocator, OrtMemTypeDefault, &info_));
  }

  void* take(size_t n, bool keep) {
    if (n > kMaxBlock) return nullptr;  // onnxruntime reports the failed allocation
    const size_t cls = keep ? sizeClass(n) : 0;
    if (cls) {
      std::lock_guard<std::mutex> lk(mu_);
      auto it = free_.find(cls);
      if (it != free_.end() && !it->second.empty()) {
        void* p = it->second.back();
        it->second.pop_back();
        kept_ -= cls;
        return p;
      }
    }
    const size_t body = cls ? cls : (n + kAlign - 1) / kAlign * kAlign;
    auto* base = static_cast<char*>(std::aligned_alloc(kAlign, body + kAlign));
    if (!base) return nullptr;
    *reinterpret_cast<size_t*>(base) = cls;
    return base + kAlign;
  }

  void give(void* p) {
    if (!p) return;
    char* base = static_cast<char*>(p) - kAlign;
    const size_t cls = *reinterpret_cast<size_t*>(base);
    if (!cls) return std::free(base);
    std::lock_guard<std::mutex> lk(mu_);
    try {
      free_[cls].push_back(p);
      kept_ += cls;
    } catch (const std::bad_alloc&) {  // nothing may escape into onnxruntime: the block goes instead
      std::free(base);
    }
  }

  size_t release() {
    std::unordered_map<size_t, std::vector<void*>> gone;
    size_t bytes;
    {
      std::lock_guard<std::mutex> lk(mu_);
      gone.swap(free_);
      bytes = kept_;
      kept_ = 0;
    }
    for (auto& [cls, ps] : gone)
      for (void* p : ps) std::free(static_cast<char*>(p) - kAlign);
    return bytes;
  }

 private:
  static constexpr size_t kAlign = 64;            // what the CPU kernels expect
  static constexpr size_t kMinKept = 64 << 10;    // below this the heap is as quick
  static constexpr size_t kMaxBlock = size_t(1) << 46;  // no size arithmetic below can wrap
  // Sizes rounded up to an eighth of their power of two: one block serves
  // the runs whose shapes differ a little, for at most 12.5 % more memory.
  static size_t sizeClass(size_t n) {
    if (n < kMinKept) return 0;
    const size_t step = std::bit_floor(n) / 8;
    return (n + step - 1) / step * step;
  }
  std::mutex mu_;
  std::unordered_map<size_t, std::vector<void*>> free_;
  size_t kept_ = 0;
  OrtMemoryInfo* info_ = nullptr;
};

BlockPool& pool() {
  static BlockPool* p = new BlockPool;
  return *p;
}
}  // namespace

Ort::Env& env() {
  static Ort::Env* e = [] {
    auto* made = new Ort::Env(ORT_LOGGING_LEVEL_WARNING, "le", ortLog, nullptr);
    Ort::ThrowOnError(Ort::GetApi().RegisterAllocator(*made, &pool()));
    return made;
  }();
  return *e;
}

OrtAllocator* allocator() { return &pool(); }

size_t releaseCached() {
  const size_t bytes = pool().release();
  malloc_trim(0);
  return bytes;
}

Ort::SessionOptions options(const Settings& s) {
  if (!s.ep.empty() && !startsWith(s.ep, "coreml")) throw std::runtime_error("unknown ep '" + s.ep + "'");
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(pool::clampThreads(s.threads));
  o.SetInterOpNumThreads(1);
  o.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  if (!s.spin) o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  o.AddConfigEntry("mlas.disable_kleidiai", "1");
  // With memory patterns a session's second run allocates one fresh block
  // for its whole plan (every new stream on a shared session pays those page
  // faults on its first frame); tensor by tensor from the pool reuses what
  // earlier runs freed, and measured no slower per run.
  o.DisableMemPattern();
  o.AddConfigEntry("session.use_env_allocators", "1");
  if (!s.profile.empty()) o.EnableProfiling(s.profile.c_str());
  if (s.cuda) appendCuda(o, s.cudaMemMib);
  if (!s.ep.empty()) appendCoreMl(o, s);
  return o;
}

void RunGate::limitTo(int intraOpThreads, bool cpu) {
  std::lock_guard<std::mutex> lk(mu_);
  max_ = cpu ? std::max(1, pool::threads() / std::max(1, intraOpThreads)) : 1 << 20;
}

int RunGate::peak() const {
  std::lock_guard<std::mutex> lk(mu_);
  return peak_;
}

RunGate::Pass::Pass(RunGate& gate) : g(gate) {
  {
    std::unique_lock<std::mutex> lk(g.mu_);
    const uint64_t ticket = g.tickets_++;
    g.cv_.wait(lk, [&] { return ticket == g.admitted_ && g.running_ < g.max_; });
    ++g.admitted_;
    g.peak_ = std::max(g.peak_, ++g.running_);
  }
  g.cv_.notify_all();  // the next ticket may fit as well
}

RunGate::Pass::~Pass() {
  {
    std::lock_guard<std::mutex> lk(g.mu_);
    --g.running_;
  }
  g.cv_.notify_all();
}

std::unique_ptr<Ort::Session> open(const std::string& path, Ort::SessionOptions& options) {
  const std::string bytes = readWholeFile(path, kMaxModelBytes);
  return open(bytes.data(), bytes.size(), path, options);
}

std::unique_ptr<Ort::Session> open(const void* bytes, size_t n, const std::string& what, Ort::SessionOptions& options) {
  try {
    return std::make_unique<Ort::Session>(env(), bytes, n, options);
  } catch (const Ort::Exception& e) {
    const std::string text = e.what();
    if (text.find("Gelu") == std::string::npos || text.find("float16") == std::string::npos) throw;
    log::printf(log::kWarn,
                "[le] %s: ORT's level-2 Gelu fusion produced a float16 com.microsoft.Gelu this runtime has no "
                "CPU kernel for; reopening at ORT_ENABLE_BASIC\n",
                what.c_str());
    options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_BASIC);
    return std::make_unique<Ort::Session>(env(), bytes, n, options);
  }
}

}  // namespace le::ort
