// The blend head's archive: a small writer of stored ZIPs and state-dict
// pickles in the layout a torch save has, and the loader's refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/testutil.h"
#include "tessera/head_weights.h"

namespace {

using namespace std::string_literals;
using le::tessera::HeadWeights;
using le::tessera::loadHeadPt;

struct Tensor {
  std::string name;
  std::vector<int64_t> shape;
  int64_t offset = 0;
  std::string storage = "torch\nFloatStorage\n";
  int64_t floats = -1;  // storage size; -1: exactly what the shape needs
};

std::string le32(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string le16(uint32_t v) { return std::string{char(v), char(v >> 8)}; }
std::string str(const std::string& s) { return "X" + le32(static_cast<uint32_t>(s.size())) + s; }
std::string intOp(int64_t v) { return v >= 0 && v < 256 ? "K" + std::string(1, char(v)) : "J" + le32(uint32_t(v)); }

// The pickle a torch save writes for an ordered dict of float tensors; tensor
// k lives in storage "k".
std::string statePickle(const std::vector<Tensor>& ts) {
  std::string p = "\x80\x02" "ccollections\nOrderedDict\n)Rq\x00("s;
  for (size_t k = 0; k < ts.size(); ++k) {
    p += str(ts[k].name) + "ctorch._utils\n_rebuild_tensor_v2\n((" + str("storage") + "c" + ts[k].storage +
         str(std::to_string(k)) + str("cpu") + intOp(1) + "tQ" + intOp(ts[k].offset) + "(";
    for (const int64_t d : ts[k].shape) p += intOp(d);
    p += "t(t\x89" "ccollections\nOrderedDict\n)RtR";
  }
  return p + "u}b.";
}

struct ZipEntry {
  std::string name, data;
  uint16_t method = 0;
};

std::string zipOf(const std::vector<ZipEntry>& es, const std::string& comment = {}) {
  std::string body, dir;
  for (const ZipEntry& e : es) {
    const uint32_t at = static_cast<uint32_t>(body.size());
    const std::string sizes = le32(0) + le32(uint32_t(e.data.size())) + le32(uint32_t(e.data.size()));
    body += le32(0x04034b50) + le16(20) + le16(0) + le16(e.method) + le32(0) + sizes + le16(uint32_t(e.name.size())) +
            le16(2) + e.name + "xx" + e.data;
    dir += le32(0x02014b50) + le16(20) + le16(20) + le16(0) + le16(e.method) + le32(0) + sizes +
           le16(uint32_t(e.name.size())) + le16(0) + le16(0) + le16(0) + le16(0) + le32(0) + le32(at) + e.name;
  }
  return body + dir + le32(0x06054b50) + le16(0) + le16(0) + le16(uint32_t(es.size())) + le16(uint32_t(es.size())) +
         le32(uint32_t(dir.size())) + le32(uint32_t(body.size())) + le16(uint32_t(comment.size())) + comment;
}

std::vector<Tensor> blendHead(bool syn = true) {
  std::vector<Tensor> ts = {{"cand.0.weight", {16, 7, 3, 3}}, {"cand.0.bias", {16}}, {"cand.2.weight", {16, 16, 3, 3}},
                            {"cand.2.bias", {16}},           {"cand.4.weight", {1, 16, 3, 3}}, {"cand.4.bias", {1}}};
  if (syn)
    ts.insert(ts.end(), {{"syn.0.weight", {16, 3, 3, 3}}, {"syn.0.bias", {16}}, {"syn.2.weight", {1, 16, 3, 3}},
                         {"syn.2.bias", {1}}});
  return ts;
}

// Storage k holds the floats k*10000 + i, shifted by the tensor's offset.
std::vector<uint8_t> archive(const std::vector<Tensor>& ts, const std::string& comment = {},
                             std::vector<ZipEntry> extra = {}, const std::string& pickle = {}) {
  std::vector<ZipEntry> es = {{"archive/data.pkl", pickle.empty() ? statePickle(ts) : pickle}};
  for (size_t k = 0; k < ts.size(); ++k) {
    int64_t n = ts[k].floats;
    if (n < 0) {
      n = ts[k].offset;
      int64_t c = 1;
      for (const int64_t d : ts[k].shape) c *= d;
      n += c;
    }
    std::string data(static_cast<size_t>(n) * 4, '\0');
    for (int64_t i = 0; i < n; ++i) {
      const float v = float(k * 10000 + i);
      std::memcpy(&data[size_t(i) * 4], &v, 4);
    }
    es.push_back({"archive/data/" + std::to_string(k), data});
  }
  es.push_back({"archive/version", "3\n"});
  es.insert(es.end(), extra.begin(), extra.end());
  const std::string z = zipOf(es, comment);
  return std::vector<uint8_t>(z.begin(), z.end());
}

std::string loadError(const std::vector<uint8_t>& bytes) {
  return le::test::errorOf([&] { loadHeadPt(bytes); });
}

TEST(TesseraHead, LoadsBothArchitectures) {
  std::vector<Tensor> ts = blendHead();
  ts[2].offset = 5;
  const HeadWeights h = loadHeadPt(archive(ts, "a comment behind the end record"));
  EXPECT_EQ(h.params(), 4082u);
  EXPECT_TRUE(h.hasSyn());
  EXPECT_EQ(h.cand0_w[1007], 1007.0f);
  EXPECT_EQ(h.cand2_w[0], 20005.0f);  // from the tensor's element offset
  EXPECT_EQ(h.syn2_b[0], 90000.0f);

  EXPECT_EQ(loadHeadPt(archive(blendHead(false))).params(), 3489u);
  std::vector<Tensor> three = blendHead();
  three.pop_back();
  const HeadWeights h8 = loadHeadPt(archive(three));
  EXPECT_EQ(h8.params(), 3489u);
  EXPECT_FALSE(h8.hasSyn());
}

TEST(TesseraHead, RefusesWhatItDoesNotModel) {
  auto with = [](auto edit) {
    std::vector<Tensor> ts = blendHead();
    edit(ts);
    return ts;
  };
  const std::vector<Tensor> good = blendHead();
  const std::string pkl = statePickle(good);
  const struct {
    std::vector<uint8_t> bytes;
    std::string message;
  } cases[] = {
      {archive(with([](auto& ts) { ts[0].shape = {16, 6, 3, 3}; })),
       "teeth: head 'cand.0.weight' has shape [16,6,3,3] — not the BlendHead(16) arch"},
      {archive(with([](auto& ts) { ts[1].floats = 15; })), "teeth: head storage 1 too small"},
      {archive(with([](auto& ts) { ts[1].offset = 1; ts[1].floats = 16; })), "teeth: head storage 1 too small"},
      {archive(with([](auto& ts) { ts.erase(ts.begin() + 3); })), "teeth: head .pt lacks 'cand.2.bias'"},
      {archive(with([](auto& ts) { ts.push_back(ts[0]); })), "teeth: head .pt names 'cand.0.weight' 2 times — ambiguous"},
      {archive(with([](auto& ts) { ts[4].storage = "torch\nHalfStorage\n"; })),
       "teeth: head .pt storage is torch HalfStorage, not torch FloatStorage — refusing to reinterpret it"},
      {archive(good, "", {{"archive/extra", "x", 8}}),
       "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member"},
      {archive(good, "", {}, "\x80\x02" "cos\nsystem\n" + str("true") + "\x85R."),
       "teeth: head .pt calls os system — this reader refuses code it does not model"},
      {archive(good, "", {}, "\x80\x02}h\x05."), "teeth: pickle BINGET out of range"},
      {archive(good, "", {}, "\x80\x02}q\x00j\x01\x00\x00\x00."s), "teeth: pickle LONG_BINGET out of range"},
      {archive(good, "", {}, pkl.substr(0, pkl.size() / 2)), "teeth: pickle truncated"},
      {archive(good, "", {}, "\x80\x02" "X\xff\xff\xff\x7f"), "teeth: pickle truncated"},
      {archive(good, "", {}, "}r\xff\xff\xff\xff."), "teeth: pickle memo index 4294967295 is beyond its opcodes"},
      {archive(good, "", {}, "\x80\x02}\x94."), "teeth: unsupported pickle opcode 0x94 in head .pt"},
      {archive(good, "", {}, "\x80\x02}."), "teeth: head .pt state_dict is empty"},
      {archive(good, "", {}, "t."), "teeth: pickle closes a MARK it never opened"},
      {archive(good, "", {}, "R."), "teeth: pickle pops an empty stack"},
      {archive(good, "", {}, "(" + str("storage") + "K\x01" + str("0") + "NNtQ."),
       "teeth: head .pt storage is no global, not torch FloatStorage — refusing to reinterpret it"},
      {archive(good, "", {}, "(" + str("x") + "tQ."), "teeth: unexpected persistent id in head .pt"},
      {archive(good, "", {}, "ctorch._utils\n_rebuild_tensor_v2\n(K\x01K\x02tR."), "teeth: malformed _rebuild_tensor_v2"},
      {std::vector<uint8_t>(21, 0), "teeth: head .pt is not a zip"},
      {std::vector<uint8_t>(4096, 'P'), "teeth: head .pt has no zip EOCD"},
  };
  for (const auto& c : cases) EXPECT_EQ(loadError(c.bytes), c.message);

  // Hostile offsets and sizes in the directory: refused before any read.
  std::vector<uint8_t> z = archive(good);
  const size_t eocd = z.size() - 22, dir = eocd - (z[eocd + 12] | z[eocd + 13] << 8);
  auto patched = [&](size_t at, uint32_t v) {
    std::vector<uint8_t> b = z;
    std::memcpy(&b[at], &v, 4);
    return b;
  };
  EXPECT_EQ(loadError(patched(eocd + 16, 0xfffffff0u)), "teeth: head .pt central directory is malformed");
  EXPECT_EQ(loadError(patched(dir + 42, 0xffffffffu)), "teeth: head .pt local header out of range");
  EXPECT_EQ(loadError(patched(dir + 24, 0xffffffffu)), "teeth: head .pt entry out of range");
  std::vector<uint8_t> noPkl = archive(good);
  for (size_t i = 0; i + 8 < noPkl.size(); ++i)
    if (std::memcmp(&noPkl[i], "data.pkl", 8) == 0) noPkl[i] = 'D';
  EXPECT_EQ(loadError(noPkl), "teeth: head .pt has no data.pkl");
}

}  // namespace
