#include "tessera/head_weights.h"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

namespace le::tessera {
namespace {

[[noreturn]] void refuse(const std::string& text) { throw std::runtime_error(text); }

uint64_t u16(const uint8_t* p) { return uint64_t{p[0]} | uint64_t{p[1]} << 8; }
uint64_t u32(const uint8_t* p) { return u16(p) | u16(p + 2) << 16; }

// A state dict's pickle is a few kilobytes; anything far larger is no state
// dict, and the bound keeps the interpreter's stack and memo small.
constexpr size_t kMaxPickleBytes = 1u << 20;

struct PVal {
  enum Kind { None = 0, Int = 1, Bool = 2, Str = 3, Tuple = 4, Global = 5, Storage = 6, Tensor = 7, Dict = 8 };
  Kind kind = None;
  int64_t i = 0;  // integer, bool, or a tensor's element offset
  // The contents are shared: a memo fetch copies a handle, never the text or
  // the tuple, so no pickle can grow its values by fetching them again.
  std::shared_ptr<const std::string> s;  // string, global text, storage key
  std::shared_ptr<const std::vector<PVal>> items;  // tuple
  std::shared_ptr<const std::vector<int64_t>> shape;  // tensor

  const std::string& text() const {
    static const std::string empty;
    return s ? *s : empty;
  }
  size_t size() const { return items ? items->size() : 0; }
  const PVal& at(size_t k) const { return (*items)[k]; }
};

PVal strVal(PVal::Kind kind, std::string text) {
  PVal v;
  v.kind = kind;
  v.s = std::make_shared<const std::string>(std::move(text));
  return v;
}

PVal tupleVal(std::vector<PVal> items) {
  PVal v;
  v.kind = PVal::Tuple;
  v.items = std::make_shared<const std::vector<PVal>>(std::move(items));
  return v;
}

using StateDict = std::vector<std::pair<std::string, PVal>>;

class Unpickler {
 public:
  Unpickler(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

  StateDict run() {
    for (;;) {
      const uint8_t op = byte();
      ++ops_;
      switch (op) {
        case 0x80: byte(); break;  // PROTO
        case '(': marks_.push_back(stack_.size()); break;
        case '.': return std::move(dict_);
        case ')': push(tupleVal({})); break;
        case '}': push(PVal{PVal::Dict}); break;
        case 'N': push(PVal{}); break;
        case 0x88: case 0x89: {
          PVal v{PVal::Bool};
          v.i = op == 0x88;
          push(v);
          break;
        }
        case 'J': pushInt(static_cast<int32_t>(u32(take(4)))); break;
        case 'K': pushInt(byte()); break;
        case 'M': pushInt(static_cast<int64_t>(u16(take(2)))); break;
        case 'X': {
          const size_t n = u32(take(4));
          const uint8_t* s = take(n);
          push(strVal(PVal::Str, std::string(reinterpret_cast<const char*>(s), n)));
          break;
        }
        case 'c': {
          std::string module = line();
          push(strVal(PVal::Global, module + " " + line()));
          break;
        }
        case 'q': put(byte()); break;
        case 'r': put(u32(take(4))); break;
        case 'h': get(byte(), "teeth: pickle BINGET out of range"); break;
        case 'j': get(u32(take(4)), "teeth: pickle LONG_BINGET out of range"); break;
        case 't': {
          const size_t mark = popMark();
          std::vector<PVal> items(stack_.begin() + static_cast<std::ptrdiff_t>(mark), stack_.end());
          stack_.resize(mark);
          push(tupleVal(std::move(items)));
          break;
        }
        case 0x85: case 0x86: case 0x87: {
          const size_t n = op - 0x84u;
          if (stack_.size() < n) underflow();
          std::vector<PVal> items(stack_.end() - static_cast<std::ptrdiff_t>(n), stack_.end());
          stack_.resize(stack_.size() - n);
          push(tupleVal(std::move(items)));
          break;
        }
        case 's': {
          PVal value = pop();
          PVal key = pop();
          setItem(key, value);
          break;
        }
        case 'u': {
          const size_t mark = popMark();
          for (size_t k = mark; k + 1 < stack_.size(); k += 2) setItem(stack_[k], stack_[k + 1]);
          stack_.resize(mark);
          break;
        }
        case 'Q': push(storage(pop())); break;
        case 'R': {
          PVal args = pop();
          PVal callable = pop();
          push(reduce(callable, args));
          break;
        }
        case 'b': break;  // BUILD: the state a dict carries is not ours to apply
        default: {
          static const char kHex[] = "0123456789abcdef";
          refuse(std::string("teeth: unsupported pickle opcode 0x") + kHex[op >> 4] + kHex[op & 15] + " in head .pt");
        }
      }
    }
  }

 private:
  [[noreturn]] static void truncated() { refuse("teeth: pickle truncated"); }
  [[noreturn]] static void underflow() { refuse("teeth: pickle pops an empty stack"); }

  const uint8_t* take(size_t n) {
    if (static_cast<size_t>(end_ - p_) < n) truncated();
    const uint8_t* at = p_;
    p_ += n;
    return at;
  }
  uint8_t byte() { return *take(1); }
  std::string line() {
    const uint8_t* nl = static_cast<const uint8_t*>(std::memchr(p_, '\n', static_cast<size_t>(end_ - p_)));
    if (!nl) truncated();
    std::string s(reinterpret_cast<const char*>(p_), static_cast<size_t>(nl - p_));
    p_ = nl + 1;
    return s;
  }

  void push(PVal v) { stack_.push_back(std::move(v)); }
  void pushInt(int64_t i) {
    PVal v{PVal::Int};
    v.i = i;
    push(v);
  }
  PVal pop() {
    if (stack_.empty()) underflow();
    PVal v = std::move(stack_.back());
    stack_.pop_back();
    return v;
  }
  size_t popMark() {
    if (marks_.empty() || marks_.back() > stack_.size()) refuse("teeth: pickle closes a MARK it never opened");
    const size_t m = marks_.back();
    marks_.pop_back();
    return m;
  }

  // A pickler numbers its memo from 0, one entry per store: an index beyond
  // the opcodes read so far is a hostile one that would size the memo.
  void put(uint64_t index) {
    if (stack_.empty()) underflow();
    if (index > ops_) refuse("teeth: pickle memo index " + std::to_string(index) + " is beyond its opcodes");
    if (index >= memo_.size()) memo_.resize(index + 1);
    memo_[index] = stack_.back();
  }
  void get(uint64_t index, const char* outOfRange) {
    if (index >= memo_.size()) refuse(outOfRange);
    push(memo_[index]);
  }

  void setItem(const PVal& key, const PVal& value) {
    if (key.kind == PVal::Str && value.kind == PVal::Tensor) dict_.emplace_back(key.text(), value);
  }

  static PVal storage(const PVal& pid) {
    if (pid.kind != PVal::Tuple || pid.size() < 5 || pid.at(0).kind != PVal::Str || pid.at(0).text() != "storage")
      refuse("teeth: unexpected persistent id in head .pt");
    const PVal& type = pid.at(1);
    if (type.kind != PVal::Global || type.text() != "torch FloatStorage")
      refuse("teeth: head .pt storage is " + (type.kind == PVal::Global ? type.text() : std::string("no global")) +
             ", not torch FloatStorage — refusing to reinterpret it");
    if (pid.at(2).kind != PVal::Str) refuse("teeth: unexpected persistent id in head .pt");
    return strVal(PVal::Storage, pid.at(2).text());
  }

  static PVal reduce(const PVal& callable, const PVal& args) {
    const std::string name = callable.kind == PVal::Global ? callable.text() : std::string("a value that is no global");
    if (name == "collections OrderedDict") return PVal{PVal::Dict};
    if (name != "torch._utils _rebuild_tensor_v2")
      refuse("teeth: head .pt calls " + name + " — this reader refuses code it does not model");
    if (args.kind != PVal::Tuple || args.size() < 4 || args.at(0).kind != PVal::Storage ||
        args.at(1).kind != PVal::Int || args.at(1).i < 0 || args.at(2).kind != PVal::Tuple)
      refuse("teeth: malformed _rebuild_tensor_v2");
    auto shape = std::make_shared<std::vector<int64_t>>();
    for (size_t k = 0; k < args.at(2).size(); ++k) {
      if (args.at(2).at(k).kind != PVal::Int) refuse("teeth: malformed _rebuild_tensor_v2");
      shape->push_back(args.at(2).at(k).i);
    }
    PVal t{PVal::Tensor};
    t.s = args.at(0).s;
    t.i = args.at(1).i;
    t.shape = std::move(shape);
    return t;
  }

  const uint8_t* p_;
  const uint8_t* end_;
  uint64_t ops_ = 0;
  std::vector<PVal> stack_;
  std::vector<size_t> marks_;
  std::vector<PVal> memo_;
  StateDict dict_;
};

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class Archive {
 public:
  Archive(const uint8_t* data, size_t size) : data_(data), entries_(zip::readDirectory(data, size)) {
    const zip::Entry* pkl = nullptr;
    for (const zip::Entry& e : entries_)
      if (e.name.size() > 8 && endsWith(e.name, "/data.pkl")) {
        pkl = &e;
        break;
      }
    if (!pkl) refuse("teeth: head .pt has no data.pkl");
    if (pkl->dataSize > kMaxPickleBytes)
      refuse("teeth: head .pt data.pkl is " + std::to_string(pkl->dataSize) + " bytes, over the " +
             std::to_string(kMaxPickleBytes) + " a state dict's pickle needs");
    dict_ = Unpickler(data + pkl->dataOffset, static_cast<size_t>(pkl->dataSize)).run();
    if (dict_.empty()) refuse("teeth: head .pt state_dict is empty");
  }

  size_t count(const std::string& name) const {
    size_t n = 0;
    for (const auto& kv : dict_) n += kv.first == name;
    return n;
  }

  std::vector<float> fetch(const std::string& name, const std::vector<int64_t>& want) const {
    const size_t n = count(name);
    if (n > 1) refuse("teeth: head .pt names '" + name + "' " + std::to_string(n) + " times — ambiguous");
    if (n == 0) refuse("teeth: head .pt lacks '" + name + "'");
    const PVal* t = nullptr;
    for (const auto& kv : dict_)
      if (kv.first == name) t = &kv.second;
    if (t->kind != PVal::Tensor) refuse("teeth: '" + name + "' is not a tensor");
    if (*t->shape != want) {
      std::string dims;
      for (const int64_t d : *t->shape) {
        if (!dims.empty()) dims += ',';
        dims += std::to_string(d);
      }
      refuse("teeth: head '" + name + "' has shape [" + dims + "] — not the BlendHead(16) arch");
    }
    uint64_t count = 1;
    for (const int64_t d : want) count *= static_cast<uint64_t>(d);
    const std::string& key = t->text();
    const zip::Entry* storage = nullptr;
    for (const zip::Entry& e : entries_)
      if (endsWith(e.name, "/data/" + key)) {
        storage = &e;
        break;
      }
    if (!storage) refuse("teeth: head storage " + key + " missing");
    const uint64_t floats = storage->dataSize / 4;
    const uint64_t offset = static_cast<uint64_t>(t->i);
    if (offset > floats || count > floats - offset) refuse("teeth: head storage " + key + " too small");
    std::vector<float> out(static_cast<size_t>(count));
    std::memcpy(out.data(), data_ + storage->dataOffset + offset * 4, out.size() * sizeof(float));
    return out;
  }

 private:
  const uint8_t* data_;
  std::vector<zip::Entry> entries_;
  StateDict dict_;
};

}  // namespace

size_t HeadWeights::params() const {
  size_t n = 0;
  for (const auto* v : {&cand0_w, &cand0_b, &cand2_w, &cand2_b, &cand4_w, &cand4_b, &syn0_w, &syn0_b, &syn2_w, &syn2_b})
    n += v->size();
  return n;
}

namespace zip {

std::vector<Entry> readDirectory(const uint8_t* data, size_t size) {
  if (size < 22) refuse("teeth: head .pt is not a zip");
  size_t eocd = size - 22;
  bool found = u32(data + eocd) == 0x06054b50u;
  // An archive comment follows the record: scan back for its signature.
  while (!found && eocd > 0) found = u32(data + --eocd) == 0x06054b50u;
  if (!found) refuse("teeth: head .pt has no zip EOCD");
  const uint64_t count = u16(data + eocd + 10);
  uint64_t pos = u32(data + eocd + 16);
  std::vector<Entry> entries;
  for (uint64_t k = 0; k < count; ++k) {
    if (pos > size || size - pos < 46 || u32(data + pos) != 0x02014b50u)
      refuse("teeth: head .pt central directory is malformed");
    const uint8_t* h = data + pos;
    Entry e;
    e.method = static_cast<uint16_t>(u16(h + 10));
    e.compressed = u32(h + 20);
    e.uncompressed = u32(h + 24);
    const uint64_t nameLen = u16(h + 28), extra = u16(h + 30), comment = u16(h + 32);
    e.localOffset = u32(h + 42);
    if (size - pos - 46 < nameLen) refuse("teeth: head .pt central directory is malformed");
    e.name.assign(reinterpret_cast<const char*>(h + 46), static_cast<size_t>(nameLen));
    if (e.method != 0)
      refuse("teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member");
    if (e.localOffset > size || size - e.localOffset < 30) refuse("teeth: head .pt local header out of range");
    const uint8_t* l = data + e.localOffset;
    e.dataOffset = e.localOffset + 30 + u16(l + 26) + u16(l + 28);
    e.dataSize = e.uncompressed ? e.uncompressed : e.compressed;
    if (e.dataOffset > size || size - e.dataOffset < e.dataSize) refuse("teeth: head .pt entry out of range");
    entries.push_back(std::move(e));
    pos += 46 + nameLen + extra + comment;
  }
  return entries;
}

}  // namespace zip

HeadWeights loadHeadPt(const uint8_t* data, size_t size) {
  if (!data) size = 0;
  const Archive a(data, size);
  HeadWeights h;
  h.cand0_w = a.fetch("cand.0.weight", {16, 7, 3, 3});
  h.cand0_b = a.fetch("cand.0.bias", {16});
  h.cand2_w = a.fetch("cand.2.weight", {16, 16, 3, 3});
  h.cand2_b = a.fetch("cand.2.bias", {16});
  h.cand4_w = a.fetch("cand.4.weight", {1, 16, 3, 3});
  h.cand4_b = a.fetch("cand.4.bias", {1});
  if (a.count("syn.0.weight") && a.count("syn.0.bias") && a.count("syn.2.weight") && a.count("syn.2.bias")) {
    h.syn0_w = a.fetch("syn.0.weight", {16, 3, 3, 3});
    h.syn0_b = a.fetch("syn.0.bias", {16});
    h.syn2_w = a.fetch("syn.2.weight", {1, 16, 3, 3});
    h.syn2_b = a.fetch("syn.2.bias", {1});
  }
  const size_t n = h.params();
  if (n != kBlendHeadParams && n != kBlendHead8Params)
    refuse("teeth: head has " + std::to_string(n) +
           " params, not the 4,082 of BlendHead(16) nor the 3,489 of BlendHead8(16)");
  return h;
}

HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes) { return loadHeadPt(bytes.data(), bytes.size()); }

}  // namespace le::tessera
