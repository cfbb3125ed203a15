#include "core/ort.h"

#include <algorithm>
#include <cstdio>
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

Ort::Env& env() {
  static Ort::Env* e = new Ort::Env(ORT_LOGGING_LEVEL_WARNING, "le", ortLog, nullptr);
  return *e;
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
  // faults on its first frame); tensor by tensor from the arena reuses what
  // earlier runs freed, and measured no slower per run.
  o.DisableMemPattern();
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
