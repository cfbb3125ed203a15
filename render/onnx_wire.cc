#include "render/onnx_wire.h"

#include <cstring>
#include <stdexcept>

namespace le {
namespace {

[[noreturn]] void fail(const char* t) { throw std::runtime_error(t); }

}  // namespace

uint64_t PbReader::varint() {
  uint64_t v = 0;
  for (int shift = 0;; shift += 7) {
    if (shift >= 70 || p_ >= end_) fail("onnx: bad varint");
    const uint8_t b = *p_++;
    v |= static_cast<uint64_t>(b & 0x7F) << (shift < 64 ? shift : 63);
    if (!(b & 0x80)) return v;
  }
}

bool PbReader::next(PbField& f) {
  if (p_ >= end_) return false;
  const uint8_t* start = p_;
  const uint64_t key = varint();
  f.number = static_cast<uint32_t>(key >> 3);
  f.wire = static_cast<uint32_t>(key & 7);
  f.varint = 0;
  f.payload = {};
  switch (f.wire) {
    case 0:
      f.varint = varint();
      break;
    case 2: {
      const uint64_t len = varint();
      if (len > static_cast<uint64_t>(end_ - p_)) fail("onnx: truncated");
      f.payload = {p_, static_cast<size_t>(len)};
      p_ += len;
      break;
    }
    case 1:
    case 5: {
      const size_t w = f.wire == 1 ? 8 : 4;
      if (static_cast<size_t>(end_ - p_) < w) fail("onnx: truncated");
      uint64_t v = 0;
      std::memcpy(&v, p_, w);  // little-endian host
      f.varint = v;
      p_ += w;
      break;
    }
    default:
      fail("onnx: bad wire type");
  }
  f.whole = {start, static_cast<size_t>(p_ - start)};
  return true;
}

Slice gsGraphOf(Slice model) {
  PbReader r(model);
  PbField f;
  while (r.next(f))
    if (f.number == 7 && f.wire == 2) return f.payload;
  return {};
}

std::string gsFirstStr(Slice msg, uint32_t field) {
  PbReader r(msg);
  PbField f;
  while (r.next(f))
    if (f.number == field && f.wire == 2) return f.payload.str();
  return {};
}

void gsAllStr(Slice msg, uint32_t field, std::vector<std::string>& out) {
  PbReader r(msg);
  PbField f;
  while (r.next(f))
    if (f.number == field && f.wire == 2) out.push_back(f.payload.str());
}

Slice hcPayload(Slice msg) {
  PbReader r(msg);
  PbField f;
  if (r.next(f) && f.wire == 2) return f.payload;
  return {};
}

Slice hcConstValue(Slice node) {
  PbReader r(node);
  PbField f;
  while (r.next(f)) {
    if (f.number != 5 || f.wire != 2 || gsFirstStr(f.payload, 1) != "value") continue;
    PbReader a(f.payload);
    PbField g;
    while (a.next(g))
      if (g.number == 5 && g.wire == 2) return g.payload;
  }
  return {};
}

bool hcTensorDims(Slice tensor, std::vector<int64_t>& out) {
  out.clear();
  PbReader r(tensor);
  PbField f;
  while (r.next(f)) {
    if (f.number != 1) continue;
    if (f.wire == 0) {
      out.push_back(static_cast<int64_t>(f.varint));
    } else if (f.wire == 2) {
      // Packed: varints back to back, read with the same bounds as fields.
      const uint8_t* p = f.payload.p;
      const uint8_t* e = p + f.payload.n;
      while (p < e) {
        uint64_t v = 0;
        for (int shift = 0;; shift += 7) {
          if (shift >= 70 || p >= e) fail("onnx: bad varint");
          const uint8_t b = *p++;
          v |= static_cast<uint64_t>(b & 0x7F) << (shift < 64 ? shift : 63);
          if (!(b & 0x80)) break;
        }
        out.push_back(static_cast<int64_t>(v));
      }
    }
  }
  return true;
}

bool hcTensorFloats(Slice tensor, std::vector<float>& out) {
  out.clear();
  uint64_t type = 0;
  Slice raw;
  bool haveRaw = false;
  std::vector<float> listed;
  PbReader r(tensor);
  PbField f;
  while (r.next(f)) {
    if (f.number == 2 && f.wire == 0) type = f.varint;
    if (f.number == 9 && f.wire == 2) {
      raw = f.payload;
      haveRaw = true;
    }
    if (f.number == 4 && f.wire == 5) {
      const uint32_t bits = static_cast<uint32_t>(f.varint);
      float v;
      std::memcpy(&v, &bits, 4);
      listed.push_back(v);
    }
    if (f.number == 4 && f.wire == 2) {
      if (f.payload.n % 4) fail("onnx: truncated");
      const size_t k = listed.size();
      listed.resize(k + f.payload.n / 4);
      std::memcpy(listed.data() + k, f.payload.p, f.payload.n);
    }
  }
  if (type != 1) return false;
  if (haveRaw) {
    if (raw.n % 4) fail("onnx: truncated");
    out.resize(raw.n / 4);
    if (raw.n) std::memcpy(out.data(), raw.p, raw.n);
  } else {
    out = std::move(listed);
  }
  return true;
}

bool ldInputDims(Slice graph, const std::string& name, int32_t& elemType, std::vector<int64_t>& dims) {
  PbReader r(graph);
  PbField f;
  while (r.next(f)) {
    if (f.number != 11 || f.wire != 2 || gsFirstStr(f.payload, 1) != name) continue;
    elemType = 0;
    dims.clear();
    PbReader vi(f.payload);
    PbField t;
    while (vi.next(t)) {
      if (t.number != 2 || t.wire != 2) continue;
      const Slice tensorType = [&] {
        PbReader tp(t.payload);
        PbField g;
        while (tp.next(g))
          if (g.number == 1 && g.wire == 2) return g.payload;
        return Slice{};
      }();
      PbReader tt(tensorType);
      PbField g;
      while (tt.next(g)) {
        if (g.number == 1 && g.wire == 0) elemType = static_cast<int32_t>(g.varint);
        if (g.number != 2 || g.wire != 2) continue;
        PbReader sh(g.payload);
        PbField d;
        while (sh.next(d)) {
          if (d.number != 1 || d.wire != 2) continue;
          int64_t v = -1;
          PbReader dim(d.payload);
          PbField x;
          while (dim.next(x))
            if (x.number == 1 && x.wire == 0) v = static_cast<int64_t>(x.varint);
          dims.push_back(v);
        }
      }
    }
    return true;
  }
  return false;
}

namespace {
GsNode readNode(Slice payload) {
  GsNode n;
  n.whole = payload;
  PbReader r(payload);
  PbField f;
  while (r.next(f)) {
    if (f.wire != 2) continue;
    switch (f.number) {
      case 1: n.inputs.push_back(f.payload.str()); break;
      case 2: n.outputs.push_back(f.payload.str()); break;
      case 3: n.name = f.payload.str(); break;
      case 4: n.opType = f.payload.str(); break;
      case 7: n.domain = f.payload.str(); break;
      default: break;
    }
  }
  return n;
}
}  // namespace

void gsReadGraph(Slice graph, std::vector<GsNode>& nodes, std::set<std::string>& inputs,
                 std::set<std::string>& initializers) {
  PbReader r(graph);
  PbField f;
  while (r.next(f)) {
    if (f.wire != 2) continue;
    if (f.number == 1) nodes.push_back(readNode(f.payload));
    else if (f.number == 11) inputs.insert(gsFirstStr(f.payload, 1));
    else if (f.number == 5) initializers.insert(gsFirstStr(f.payload, 8));
  }
}

void wdReadNodes(Slice graph, std::vector<GsNode>& nodes) {
  PbReader r(graph);
  PbField f;
  while (r.next(f))
    if (f.number == 1 && f.wire == 2) nodes.push_back(readNode(f.payload));
}

void gsPutVarint(Bytes& buf, uint64_t v) {
  while (v >= 0x80) {
    buf.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  buf.push_back(static_cast<uint8_t>(v));
}

void gsPutKey(Bytes& buf, uint32_t field, uint32_t wire) { gsPutVarint(buf, (static_cast<uint64_t>(field) << 3) | wire); }

void gsPutBytes(Bytes& buf, uint32_t field, const void* data, size_t len) {
  gsPutKey(buf, field, 2);
  gsPutVarint(buf, len);
  const uint8_t* p = static_cast<const uint8_t*>(data);
  buf.insert(buf.end(), p, p + len);
}

void gsPutRaw(Bytes& buf, Slice s) { buf.insert(buf.end(), s.p, s.p + s.n); }

void hcAttrI(Bytes& attrs, const std::string& name, int64_t v) {
  Bytes a;
  gsPutStr(a, 1, name);
  gsPutKey(a, 3, 0);
  gsPutVarint(a, static_cast<uint64_t>(v));
  gsPutKey(a, 20, 0);
  gsPutVarint(a, 2);
  gsPutBytes(attrs, 5, a.data(), a.size());
}

void hcAttrIs(Bytes& attrs, const std::string& name, const int64_t* values, size_t n) {
  Bytes a;
  gsPutStr(a, 1, name);
  for (size_t i = 0; i < n; ++i) {
    gsPutKey(a, 8, 0);
    gsPutVarint(a, static_cast<uint64_t>(values[i]));
  }
  gsPutKey(a, 20, 0);
  gsPutVarint(a, 7);
  gsPutBytes(attrs, 5, a.data(), a.size());
}

void hcAttrS(Bytes& attrs, const std::string& name, const std::string& value) {
  Bytes a;
  gsPutStr(a, 1, name);
  gsPutStr(a, 4, value);
  gsPutKey(a, 20, 0);
  gsPutVarint(a, 3);
  gsPutBytes(attrs, 5, a.data(), a.size());
}

void hcNode(Bytes& graph, const std::string& opType, const std::vector<std::string>& inputs, const std::string& output,
            const std::string& name, const Bytes& attrs) {
  Bytes n;
  for (const std::string& in : inputs) gsPutStr(n, 1, in);
  gsPutStr(n, 2, output);
  gsPutStr(n, 3, name);
  gsPutStr(n, 4, opType);
  n.insert(n.end(), attrs.begin(), attrs.end());
  gsPutBytes(graph, 1, n.data(), n.size());
}

void hcInit(Bytes& graph, const std::string& name, int32_t dataType, const std::vector<int64_t>& dims,
            const void* data, size_t len) {
  Bytes t;
  for (int64_t d : dims) {
    gsPutKey(t, 1, 0);
    gsPutVarint(t, static_cast<uint64_t>(d));
  }
  gsPutKey(t, 2, 0);
  gsPutVarint(t, static_cast<uint64_t>(dataType));
  gsPutStr(t, 8, name);
  gsPutBytes(t, 9, data, len);
  gsPutBytes(graph, 5, t.data(), t.size());
}

void gsPutTensorValueInfo(Bytes& buf, uint32_t field, const std::string& name, const int64_t* dims, size_t n) {
  Bytes shape;
  for (size_t i = 0; i < n; ++i) {
    Bytes dim;
    if (dims && dims[i] >= 1) {
      gsPutKey(dim, 1, 0);
      gsPutVarint(dim, static_cast<uint64_t>(dims[i]));
    } else {
      gsPutStr(dim, 2, "le_hoist_d" + std::to_string(i));
    }
    gsPutBytes(shape, 1, dim.data(), dim.size());
  }
  Bytes tensor;
  gsPutKey(tensor, 1, 0);
  gsPutVarint(tensor, 1);
  gsPutBytes(tensor, 2, shape.data(), shape.size());
  Bytes type;
  gsPutBytes(type, 1, tensor.data(), tensor.size());
  Bytes vi;
  gsPutStr(vi, 1, name);
  gsPutBytes(vi, 2, type.data(), type.size());
  gsPutBytes(buf, field, vi.data(), vi.size());
}

void gsRebuildWith(Slice model, const GraphRewriter& rw, Bytes& out) {
  out.clear();
  out.reserve(model.n + 256);
  PbReader r(model);
  PbField f;
  bool graphDone = false;
  while (r.next(f)) {
    if (f.number != 7 || f.wire != 2 || graphDone) {
      gsPutRaw(out, f.whole);
      continue;
    }
    graphDone = true;
    Bytes g;
    g.reserve(f.payload.n + 256);
    PbReader gr(f.payload);
    PbField x;
    size_t ordinal = 0;
    while (gr.next(x)) {
      const size_t k = x.wire == 2 && x.number == 1 ? ordinal++ : SIZE_MAX;
      if (rw.field && rw.field(x, k, g)) continue;
      gsPutRaw(g, x.whole);
    }
    if (rw.graphTail) rw.graphTail(g);
    gsPutBytes(out, 7, g.data(), g.size());
  }
  if (rw.modelTail) rw.modelTail(out);
}

void gsRebuild(Slice model, const GsGraphEdit& edit, Bytes& out) {
  GraphRewriter rw;
  rw.field = [&](const PbField& x, size_t k, Bytes&) {
    if (x.wire != 2) return false;
    if (x.number == 1) return k < edit.dropNode.size() && edit.dropNode[k] != 0;
    if (x.number == 11) {
      const std::string name = gsFirstStr(x.payload, 1);
      return (edit.dropPrgbInput && name == "P_rgb") || (edit.keepOnlyPrgbInput && name != "P_rgb");
    }
    if (x.number == 12) return edit.dropOutputs;
    if (x.number == 5) return !edit.dropInitializers.empty() && edit.dropInitializers.count(gsFirstStr(x.payload, 8)) > 0;
    if (x.number == 13) return !edit.newValueName.empty() && gsFirstStr(x.payload, 1) == edit.newValueName;
    return false;
  };
  rw.graphTail = [&](Bytes& g) {
    if (!edit.newValueName.empty() && edit.newValueField != 0)
      gsPutTensorValueInfo(g, edit.newValueField, edit.newValueName,
                           edit.newValueDimsKnown ? edit.newValueDims.data() : nullptr, edit.newValueDims.size());
  };
  gsRebuildWith(model, rw, out);
}

}  // namespace le
