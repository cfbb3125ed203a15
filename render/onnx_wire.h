// A minimal protobuf wire reader and writer for ONNX model bytes: only the
// messages and fields the load-time rewrites touch are understood, and every
// other field is carried over byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace le {

struct Slice {
  const uint8_t* p = nullptr;
  size_t n = 0;
  bool empty() const { return n == 0; }
  std::string str() const { return std::string(reinterpret_cast<const char*>(p), n); }
};

inline Slice sliceOf(const std::vector<uint8_t>& v) { return {v.data(), v.size()}; }

struct PbField {
  uint32_t number = 0;
  uint32_t wire = 0;
  uint64_t varint = 0;
  Slice payload;  // wire type 2
  Slice whole;    // the field with its key, for copying unchanged
};

// Pull reader over one message. Throws std::runtime_error "onnx: ..." on
// malformed bytes; never reads outside its slice.
class PbReader {
 public:
  explicit PbReader(Slice s) : p_(s.p), end_(s.p + s.n) {}
  bool next(PbField& f);

 private:
  uint64_t varint();
  const uint8_t* p_;
  const uint8_t* end_;
};
using GsReader = PbReader;

// Read operations.
Slice gsGraphOf(Slice model);
std::string gsFirstStr(Slice msg, uint32_t field);
void gsAllStr(Slice msg, uint32_t field, std::vector<std::string>& out);
Slice hcPayload(Slice msg);
Slice hcConstValue(Slice node);
bool hcTensorDims(Slice tensor, std::vector<int64_t>& out);
bool hcTensorFloats(Slice tensor, std::vector<float>& out);
// Element type and dims of graph input `name`; a dim without dim_value is -1.
bool ldInputDims(Slice graph, const std::string& name, int32_t& elemType, std::vector<int64_t>& dims);

struct GsNode {
  std::string name, opType, domain;
  std::vector<std::string> inputs, outputs;
  Slice whole;  // the NodeProto payload
};
void gsReadGraph(Slice graph, std::vector<GsNode>& nodes, std::set<std::string>& inputs,
                 std::set<std::string>& initializers);
void wdReadNodes(Slice graph, std::vector<GsNode>& nodes);

// Writer.
using Bytes = std::vector<uint8_t>;
void gsPutVarint(Bytes& buf, uint64_t v);
void gsPutKey(Bytes& buf, uint32_t field, uint32_t wire);
void gsPutBytes(Bytes& buf, uint32_t field, const void* data, size_t len);
inline void gsPutStr(Bytes& buf, uint32_t field, const std::string& s) { gsPutBytes(buf, field, s.data(), s.size()); }
void gsPutRaw(Bytes& buf, Slice s);
void hcAttrI(Bytes& attrs, const std::string& name, int64_t v);
void hcAttrIs(Bytes& attrs, const std::string& name, const int64_t* values, size_t n);
void hcAttrS(Bytes& attrs, const std::string& name, const std::string& value);
void hcNode(Bytes& graph, const std::string& opType, const std::vector<std::string>& inputs,
            const std::string& output, const std::string& name, const Bytes& attrs);
void hcInit(Bytes& graph, const std::string& name, int32_t dataType, const std::vector<int64_t>& dims,
            const void* data, size_t len);
void gsPutTensorValueInfo(Bytes& buf, uint32_t field, const std::string& name, const int64_t* dims, size_t n);

// Copies a model, rebuilding its first graph field: `field` sees every graph
// field in order (node fields with their ordinal, others with SIZE_MAX) and
// returns true when it wrote or dropped the field itself; `graphTail` then
// appends to the graph and `modelTail` to the model. Empty hooks do nothing.
struct GraphRewriter {
  std::function<bool(const PbField& f, size_t nodeOrdinal, Bytes& graph)> field;
  std::function<void(Bytes& graph)> graphTail;
  std::function<void(Bytes& model)> modelTail;
};
void gsRebuildWith(Slice model, const GraphRewriter& rw, Bytes& out);

struct GsGraphEdit {
  std::vector<uint8_t> dropNode;  // one byte per node ordinal; nodes past the end are kept
  bool dropPrgbInput = false;
  bool keepOnlyPrgbInput = false;
  bool dropOutputs = false;
  std::string newValueName;  // value_info entries dropped, then added as input (11) or output (12)
  uint32_t newValueField = 0;
  std::vector<int64_t> newValueDims;
  bool newValueDimsKnown = true;
  std::set<std::string> dropInitializers;
};
void gsRebuild(Slice model, const GsGraphEdit& edit, Bytes& out);

}  // namespace le
