// com.corvalux::Elementwise: a run of element-wise operators evaluated in one
// pass, a short row of every intermediate at a time, so that the planes
// between the operators never reach memory.
//
// Attributes: "program", four ints per operation (op, a, b, c: operands
// number the node's inputs first, then the earlier operations; -1 where an
// operand is absent), and "outputs", the operation behind each output. The
// operations broadcast as the standard operators do, and every element is the
// standard operator's arithmetic, so the outputs have the same bits.
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "kernels/simd.h"
#include "render/custom_ops.h"

namespace le {
namespace {

constexpr int kMaxRank = 8;
constexpr size_t kMaxOps = 1024;
constexpr int64_t kChunk = 256;       // floats of a row held per value
constexpr int64_t kChunksPerItem = 16;  // rows of chunks one task evaluates
constexpr int64_t kMaxElements = int64_t{1} << 40;

using Dims = std::array<int64_t, kMaxRank>;

bool binary(int op) { return op <= simd::kEwMax; }
bool unary(int op) { return op >= simd::kEwNeg; }

struct Value {
  const float* data = nullptr;  // a materialised value: an input, an output written, a whole temporary
  float* out = nullptr;         // an operation's output tensor
  Dims ext{};                   // right-aligned to the program's rank
  int rank = 0;
};

// One group of operations evaluated over one iteration space.
struct Plan {
  std::vector<int> ops;     // value indices of the operations, in order
  std::vector<int> values;  // every value the group reads or writes
  std::vector<int> moving;  // those some index moves
  std::vector<uint8_t> isOp;  // [value] one of `ops`
  int dims = 0;             // coalesced dimensions, outermost first; the last one is contiguous
  std::vector<int64_t> extent;
  std::vector<int> loop;                   // the outer dimensions in loop order, outermost first
  std::vector<std::vector<int64_t>> step;  // [value][dim] element stride, 0 where broadcast
  std::vector<int> slot;                   // [value] scratch row, -1 when read or written in place
  int slots = 0;
  int64_t chunks = 0;
};

std::string dimsText(const Value& v) {
  std::string s = "[";
  for (int d = kMaxRank - v.rank; d < kMaxRank; ++d) {
    if (d > kMaxRank - v.rank) s += ',';
    s += std::to_string(v.ext[d]);
  }
  return s + "]";
}

[[noreturn]] void refuse(const std::string& why) {
  throw Ort::Exception("com.corvalux::Elementwise: " + why, ORT_INVALID_ARGUMENT);
}

struct FusedKernel {
  explicit FusedKernel(const OrtKernelInfo* info) {
    try {
      Ort::ConstKernelInfo ki(info);
      program = ki.GetAttributes<int64_t>("program");
      outputs = ki.GetAttributes<int64_t>("outputs");
    } catch (const std::exception& e) {
      error = std::string("the node lacks its program: ") + e.what();
      return;
    }
    const size_t n = program.size() / 4;
    if (program.size() % 4 != 0 || n == 0 || n > kMaxOps) error = "a program of " + std::to_string(program.size()) + " ints";
    for (size_t i = 0; error.empty() && i < n; ++i) {
      const int64_t op = program[4 * i], b = program[4 * i + 2], c = program[4 * i + 3];
      const bool ok = op >= 0 && op < simd::kEwCount && program[4 * i + 1] >= 0 &&
                      (binary(static_cast<int>(op)) ? b >= 0 && c == -1
                       : unary(static_cast<int>(op)) ? b == -1 && c == -1
                                                     : b >= -1 && c >= -1);
      if (!ok) error = "operation " + std::to_string(i) + " is malformed";
    }
    std::vector<uint8_t> seen(n, 0);
    for (int64_t o : outputs) {
      if (!error.empty()) break;
      if (o < 0 || static_cast<size_t>(o) >= n || seen[static_cast<size_t>(o)]) error = "an output names no operation or one named before";
      else seen[static_cast<size_t>(o)] = 1;
    }
    if (error.empty() && outputs.empty()) error = "no outputs";
  }

  void Compute(OrtKernelContext* context) {
    try {
      compute(context);
    } catch (const Ort::Exception&) {
      throw;
    } catch (const std::exception& e) {  // a temporary the machine cannot hold, above all
      throw Ort::Exception(std::string("com.corvalux::Elementwise: ") + e.what(), ORT_FAIL);
    }
  }

  void compute(OrtKernelContext* context) {
    Ort::KernelContext ctx(context);
    if (!error.empty()) refuse(error);
    const size_t nIn = ctx.GetInputCount(), nOps = program.size() / 4;
    if (ctx.GetOutputCount() != outputs.size()) refuse("the node has " + std::to_string(ctx.GetOutputCount()) + " outputs for a program of " + std::to_string(outputs.size()));
    std::vector<Value> vals(nIn + nOps);
    for (size_t k = 0; k < nIn; ++k) {
      const auto t = ctx.GetInput(k);
      const auto shape = t.GetTensorTypeAndShapeInfo().GetShape();
      if (shape.size() > static_cast<size_t>(kMaxRank)) refuse("an input of rank " + std::to_string(shape.size()));
      Value& v = vals[k];
      v.ext.fill(1);
      v.rank = static_cast<int>(shape.size());
      for (size_t d = 0; d < shape.size(); ++d) v.ext[kMaxRank - shape.size() + d] = shape[d];
      v.data = t.GetTensorData<float>();
    }
    // Each operation's shape, broadcast from its operands'.
    for (size_t i = 0; i < nOps; ++i) {
      Value& v = vals[nIn + i];
      v.ext.fill(1);
      for (int k = 1; k < 4; ++k) {
        const int64_t x = program[4 * i + k];
        if (x < 0) continue;
        if (static_cast<size_t>(x) >= nIn + i) refuse("operation " + std::to_string(i) + " reads a value not yet made");
        const Value& o = vals[static_cast<size_t>(x)];
        v.rank = std::max(v.rank, o.rank);
        for (int d = 0; d < kMaxRank; ++d) {
          if (o.ext[d] == v.ext[d] || o.ext[d] == 1) continue;
          if (v.ext[d] != 1) refuse("operation " + std::to_string(i) + " cannot broadcast " + dimsText(o) + " with " + dimsText(v));
          v.ext[d] = o.ext[d];
        }
      }
      if (elements(v.ext) > kMaxElements) refuse("operation " + std::to_string(i) + " would make " + dimsText(v));
    }
    for (size_t k = 0; k < outputs.size(); ++k) {
      Value& v = vals[nIn + static_cast<size_t>(outputs[k])];
      std::vector<int64_t> shape(v.ext.end() - v.rank, v.ext.end());
      v.out = ctx.GetOutput(k, shape).GetTensorMutableData<float>();
    }
    // One space for the whole program when the shapes broadcast together and
    // none is empty; otherwise operation by operation over whole temporaries.
    Dims space;
    space.fill(1);
    bool together = true;
    for (size_t i = 0; i < nOps && together; ++i) {
      const Dims& e = vals[nIn + i].ext;
      for (int d = 0; d < kMaxRank; ++d) {
        if (e[d] == 0) together = false;
        else if (space[d] == 1) space[d] = e[d];
        else if (e[d] != 1 && e[d] != space[d]) together = false;
      }
    }
    if (together) {
      std::vector<int> all(nOps);
      for (size_t i = 0; i < nOps; ++i) all[i] = static_cast<int>(nIn + i);
      run(ctx, vals, all, space);
      return;
    }
    std::vector<std::vector<float>> temps(nOps);
    for (size_t i = 0; i < nOps; ++i) {
      Value& v = vals[nIn + i];
      if (elements(v.ext) == 0) continue;
      if (!v.out) {
        temps[i].resize(static_cast<size_t>(elements(v.ext)));
        v.out = temps[i].data();
      }
      run(ctx, vals, {static_cast<int>(nIn + i)}, v.ext);
      v.data = v.out;
    }
  }

  static int64_t elements(const Dims& e) {
    int64_t n = 1;
    for (int64_t x : e) n = x > 0 && n > kMaxElements / x ? kMaxElements + 1 : n * x;
    return n;
  }

  // Evaluates operations `ops` (value indices) over `space`: every value
  // there has, per dimension, the space's extent or 1.
  void run(Ort::KernelContext& ctx, std::vector<Value>& vals, const std::vector<int>& ops, const Dims& space) const {
    const size_t nIn = ctx.GetInputCount();
    Plan p;
    p.ops = ops;
    std::vector<uint8_t> used(vals.size(), 0);
    for (int v : ops) {
      used[static_cast<size_t>(v)] = 1;
      for (int k = 1; k < 4; ++k) {
        const int64_t x = program[4 * (static_cast<size_t>(v) - nIn) + k];
        if (x >= 0) used[static_cast<size_t>(x)] = 1;
      }
    }
    for (size_t v = 0; v < vals.size(); ++v)
      if (used[v]) p.values.push_back(static_cast<int>(v));
    p.isOp.assign(vals.size(), 0);
    for (int v : ops) p.isOp[static_cast<size_t>(v)] = 1;
    // Dimensions where every value agrees on broadcasting merge into one.
    std::vector<int> keep;
    for (int d = 0; d < kMaxRank; ++d)
      if (space[d] != 1) keep.push_back(d);
    if (keep.empty()) keep.push_back(kMaxRank - 1);
    auto bcast = [&](int v, int d) { return vals[static_cast<size_t>(v)].ext[d] != space[d]; };
    std::vector<std::vector<int>> groups;
    for (int d : keep) {
      bool same = !groups.empty();
      for (size_t k = 0; same && k < p.values.size(); ++k)
        same = bcast(p.values[k], d) == bcast(p.values[k], groups.back().back());
      if (same) groups.back().push_back(d);
      else groups.push_back({d});
    }
    p.dims = static_cast<int>(groups.size());
    p.extent.resize(groups.size());
    for (size_t g = 0; g < groups.size(); ++g) {
      p.extent[g] = 1;
      for (int d : groups[g]) p.extent[g] *= space[d];
    }
    p.step.assign(vals.size(), std::vector<int64_t>(groups.size(), 0));
    for (int v : p.values) {
      const Dims& e = vals[static_cast<size_t>(v)].ext;
      Dims stride;
      int64_t s = 1;
      for (int d = kMaxRank - 1; d >= 0; --d) {
        stride[d] = s;
        s *= e[d];
      }
      for (size_t g = 0; g < groups.size(); ++g)
        p.step[static_cast<size_t>(v)][g] = bcast(v, groups[g].back()) ? 0 : stride[groups[g].back()];
    }
    // Outer dimensions that many values broadcast over run innermost, so a
    // value they do not change is computed once for all of them.
    for (int g = 0; g + 1 < p.dims; ++g) p.loop.push_back(g);
    auto broadcasters = [&](int g) {
      int n = 0;
      for (int v : p.values) n += p.step[static_cast<size_t>(v)][static_cast<size_t>(g)] == 0;
      return n;
    };
    std::stable_sort(p.loop.begin(), p.loop.end(), [&](int a, int b) { return broadcasters(a) < broadcasters(b); });
    const size_t inner = static_cast<size_t>(p.dims - 1);
    for (int v : p.values) {
      bool moves = false;
      for (int64_t st : p.step[static_cast<size_t>(v)]) moves |= st != 0;
      if (moves) p.moving.push_back(v);
    }
    p.slot.assign(vals.size(), -1);
    for (int v : p.values) {
      const Value& x = vals[static_cast<size_t>(v)];
      const bool contiguous = p.step[static_cast<size_t>(v)][inner] != 0;
      if (p.isOp[static_cast<size_t>(v)] ? !(x.out && contiguous) : !contiguous) p.slot[static_cast<size_t>(v)] = p.slots++;
    }
    const int64_t len = p.extent[inner];
    p.chunks = (len + kChunk - 1) / kChunk;
    struct Job {
      const FusedKernel* self;
      std::vector<Value>* vals;
      const Plan* plan;
      size_t nIn;
    } job{this, &vals, &p, nIn};
    const size_t items = static_cast<size_t>((p.chunks + kChunksPerItem - 1) / kChunksPerItem);
    ctx.ParallelFor(
        [](void* u, size_t item) {
          const Job& j = *static_cast<const Job*>(u);
          j.self->evaluate(*j.vals, *j.plan, j.nIn, static_cast<int64_t>(item) * kChunksPerItem,
                           std::min(j.plan->chunks, static_cast<int64_t>(item + 1) * kChunksPerItem));
        },
        items, 0, &job);
  }

  void evaluate(const std::vector<Value>& vals, const Plan& p, size_t nIn, int64_t chunk0, int64_t chunk1) const {
    const size_t inner = static_cast<size_t>(p.dims - 1);
    const int64_t len = p.extent[inner];
    // Every row is written before it is read; values that no index moves
    // are made once, on the first pass of the task.
    // Kept by the thread between tasks: a few KB a value, only ever grown.
    thread_local struct {
      std::vector<float> scratch;
      std::vector<int64_t> last, idx;
      std::vector<const float*> ptr;
    } t;
    if (t.scratch.size() < static_cast<size_t>(p.slots) * kChunk) t.scratch.resize(static_cast<size_t>(p.slots) * kChunk);
    t.last.assign(vals.size(), -1);
    t.ptr.assign(vals.size(), nullptr);
    t.idx.assign(static_cast<size_t>(p.dims), 0);
    float* const scratch = t.scratch.data();
    std::vector<int64_t>& last = t.last;
    std::vector<const float*>& ptr = t.ptr;
    std::vector<int64_t>& idx = t.idx;
    bool first = true;
    for (int64_t chunk = chunk0; chunk < chunk1; ++chunk) {
      const int64_t at = chunk * kChunk, n = std::min(kChunk, len - at);
      std::fill(idx.begin(), idx.end(), 0);
      for (;;) {
        for (int v : first ? p.values : p.moving) {
          const size_t u = static_cast<size_t>(v);
          int64_t off = at * p.step[u][inner];
          for (size_t g = 0; g < inner; ++g) off += idx[g] * p.step[u][g];
          const Value& x = vals[u];
          const int s = p.slot[u];
          float* row = s >= 0 ? &scratch[static_cast<size_t>(s) * kChunk] : nullptr;
          if (!p.isOp[u]) {
            if (!row) {
              ptr[u] = x.data + off;
            } else {
              if (last[u] != off) std::fill(row, row + n, x.data[off]);
              ptr[u] = row;
            }
            last[u] = off;
            continue;
          }
          float* dst = row ? row : x.out + off;
          ptr[u] = dst;
          if (last[u] == off) continue;
          last[u] = off;
          const int64_t* q = &program[4 * (u - nIn)];
          simd::elementwise(static_cast<int>(q[0]), ptr[static_cast<size_t>(q[1])],
                            q[2] >= 0 ? ptr[static_cast<size_t>(q[2])] : nullptr,
                            q[3] >= 0 ? ptr[static_cast<size_t>(q[3])] : nullptr, dst, static_cast<size_t>(n));
          if (row && x.out && at == 0) x.out[off] = row[0];
        }
        first = false;
        // The next outer index, in loop order, innermost first.
        size_t k = p.loop.size();
        while (k > 0) {
          const size_t g = static_cast<size_t>(p.loop[k - 1]);
          if (++idx[g] < p.extent[g]) break;
          idx[g] = 0;
          --k;
        }
        if (k == 0) break;
      }
    }
  }

  std::vector<int64_t> program, outputs;
  std::string error;
};

struct FusedOp : Ort::CustomOpBase<FusedOp, FusedKernel> {
  void* CreateKernel(const OrtApi&, const OrtKernelInfo* info) const { return new FusedKernel(info); }
  const char* GetName() const { return "Elementwise"; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetInputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  OrtCustomOpInputOutputCharacteristic GetInputCharacteristic(size_t) const { return INPUT_OUTPUT_VARIADIC; }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  OrtCustomOpInputOutputCharacteristic GetOutputCharacteristic(size_t) const { return INPUT_OUTPUT_VARIADIC; }
};

}  // namespace

const OrtCustomOp* fusedElementwiseOp() {
  static FusedOp op;
  return &op;
}

}  // namespace le
