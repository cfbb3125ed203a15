#include "tessera/members.h"

#include <cstring>

#include "core/bundle.h"
#include "core/files.h"
#include "core/manifest.h"
#include "core/settings.h"

namespace le {
namespace {

using tessera::Stamp;
using tessera::json::JVal;
using tessera::json::parseJson;
using tessera::json::reqNum;
using tessera::json::truncInt;

const std::array<const char*, 2> kManifestNames = {"manifest.json", "meta.json"};
// The JSON members are small (a 1024-donor sidecar is well under a megabyte);
// the cap keeps a hostile file from inflating into a huge value tree.
constexpr uint64_t kJsonLimit = 4ull << 20;
constexpr uint64_t kHeadLimit = 16ull << 20;
// A stored patch side beyond this is no mouth; it also keeps the band's byte
// count far inside 64 bits.
constexpr int64_t kMaxBandSide = 65536;
constexpr int32_t kMaxDonors = 1024;

[[noreturn]] void refuse(const std::string& text) { throw std::runtime_error(text); }

std::string readMember(const std::string& path, uint64_t limit) {
  try {
    return readWholeFile(path, limit);
  } catch (const std::runtime_error& e) {
    refuse(std::string("teeth: ") + e.what());
  }
}

std::string resolveDir(const std::string& bundle) {
  return resolveBundlePath(bundle, fromEnvironment().bundle.unwrapRoot);
}

TesseraCarriage carriageIn(const std::string& dir) {
  TesseraCarriage c;
  const std::string manifest = tesseraManifestPath(dir);
  std::string text;
  if (!manifest.empty()) {
    try {
      text = readWholeFile(manifest, kJsonLimit);
    } catch (const std::runtime_error&) {
      text.clear();
    }
  }
  if (!text.empty()) {
    JVal root;
    bool parsed = true;
    try {
      root = parseJson(text, manifest);
    } catch (const std::runtime_error&) {
      parsed = false;
    }
    const JVal* t = parsed ? root.obj("tessera") : nullptr;
    if (t) {
      c.declared = true;
      if (const JVal* members = t->obj("members")) {
        for (int s = 0; s < kTesseraSlots; ++s) {
          const JVal* v = members->get(tesseraSlotKeys()[s]);
          if (!v || v->kind != JVal::Str || v->str.empty()) continue;
          if (unsafeMemberName(v->str))
            refuse(std::string("teeth: manifest.tessera.members.") + tesseraSlotKeys()[s] + " names '" + v->str +
                   "', which leaves the bundle");
          c.names[s] = v->str;
        }
      }
      if (const JVal* planes = t->arr("planes"))
        for (const JVal& p : planes->items)
          if (p.kind == JVal::Str) c.planes.push_back(p.str);
    }
  }
  for (int s = 0; s < kTesseraSlots; ++s) {
    c.paths[s] = resolveMember(dir, c.names[s]);
    if (!opensForReading(c.paths[s])) c.missing.push_back(tesseraSlotKeys()[s]);
  }
  c.complete = c.missing.empty();
  return c;
}

Stamp readStamp(const JVal& geometry, const std::string& context) {
  Stamp s{};
  for (int i = 0; i < tessera::kStampKeys; ++i)
    s[i] = truncInt(reqNum(geometry, tessera::kStampKeyNames[i], context));
  return s;
}

double numOr0(const JVal& v) { return v.kind == JVal::Num ? v.num : 0.0; }

TesseraAttachInputs loadIn(const std::string& dir) {
  const TesseraCarriage carriage = carriageIn(dir);
  requireTesseraMembers(carriage);
  const std::string manifestPath = tesseraManifestPath(dir);
  if (manifestPath.empty())
    refuse(dir + " carries no " + kManifestNames[0] + " or " + kManifestNames[1] +
           " — the compose descriptor (unified.pi) the pass places its window by lives there, and placing a "
           "borrow window without it is guessing.");

  TesseraAttachInputs in;
  in.manifest_json = readMember(manifestPath, kJsonLimit);
  in.head_json = readMember(carriage.path("head_config"), kJsonLimit);
  const std::string pt = readMember(carriage.path("head_weights"), kHeadLimit);
  in.head_pt.assign(pt.begin(), pt.end());
  in.bank_track_path = carriage.path("bank_track");
  readBankRecord(in, readMember(carriage.path("bank_sidecar"), kJsonLimit), carriage.names[1], manifestPath, dir);
  return in;
}

}  // namespace

void readBankRecord(TesseraAttachInputs& in, const std::string& sidecar, const std::string& label,
                    const std::string& manifestPath, const std::string& dir) {
  const JVal side = parseJson(sidecar, label);
  const JVal man = parseJson(in.manifest_json, manifestPath);

  const std::string format = tessera::json::optStr(side, "format", "");
  if (format != "tessera_bank.v1")
    refuse(label + " declares format '" + format +
           "', not 'tessera_bank.v1' — this reader does not know that generation and will not guess at its keys.");
  const JVal* geometry = side.obj("geometry");
  if (!geometry) refuse(label + " carries no `geometry` stamp");
  in.stamp = readStamp(*geometry, label + ".geometry");
  const JVal* mt = man.obj("tessera");
  if (const JVal* mg = mt ? mt->obj("geometry") : nullptr) {
    const Stamp ms = readStamp(*mg, "manifest.tessera.geometry");
    if (ms != in.stamp)
      refuse("teeth geometry DISAGREES between the manifest and the bank sidecar — manifest " +
             tessera::stampStr(ms) + " vs " + label + " " + tessera::stampStr(in.stamp) +
             "; refusing to place a window on a rectangle the two halves of the bundle do not agree on.");
  }

  const Stamp& st = in.stamp;
  const int64_t margin2 = 2 * int64_t{st[11]};
  const int64_t bandH = int64_t{st[8]} - st[7] + margin2;
  const int64_t bandW = int64_t{st[10]} - st[9] + margin2;
  if (bandH < 1 || bandW < 1) refuse("teeth stamp yields a non-positive stored patch (" + tessera::stampStr(st) + ")");
  if (bandH > kMaxBandSide || bandW > kMaxBandSide)
    refuse("teeth stamp yields a stored patch over " + std::to_string(kMaxBandSide) + " pixels a side (" +
           tessera::stampStr(st) + ")");
  in.band_h = static_cast<int32_t>(bandH);
  in.band_w = static_cast<int32_t>(bandW);

  const int32_t n = truncInt(reqNum(side, "n_donors", label));
  const std::string ns = std::to_string(n);
  if (n < 1) refuse(label + " says n_donors=" + ns);
  if (n > kMaxDonors)
    refuse(label + " carries n_donors=" + ns +
           ", over the owner's cap of 1024 (ruling 2026-08-28). This reader REFUSES rather than capping: the "
           "selector is the bank's BUILD-time cap selector, and a second one here would change which donors "
           "reach the mouth while every count-based check stayed green. Rebuild the bank.");
  in.n_donors = n;

  const JVal* order = side.arr("track_order");
  const JVal* cent = side.arr("cent");
  const JVal* aperture = side.arr("aperture");
  const JVal* canon = side.arr("c_canon");
  if (!order || !cent || !aperture || !canon)
    refuse(label + " lacks one of track_order/cent/aperture/c_canon as an array");
  const size_t un = static_cast<size_t>(n);
  if (order->items.size() != un || cent->items.size() != un || aperture->items.size() != un)
    refuse(label + " says n_donors=" + ns + " but carries track_order=" + std::to_string(order->items.size()) +
           ", cent=" + std::to_string(cent->items.size()) + ", aperture=" + std::to_string(aperture->items.size()) +
           " — a count mismatch silently mis-orders the donors.");
  if (canon->items.size() != 2) refuse(label + " c_canon is not a pair");

  std::vector<char> seen(un, 0);
  in.track_order.resize(un);
  for (size_t i = 0; i < un; ++i) {
    const int32_t r = truncInt(numOr0(order->items[i]));
    if (r < 0 || r >= n)
      refuse(label + " track_order[" + std::to_string(i) + "]=" + std::to_string(r) + " is outside [0," + ns + ")");
    if (seen[static_cast<size_t>(r)])
      refuse(label + " track_order is not a permutation (reference " + std::to_string(r) +
             " appears twice) — the inverse permutation would leave a reference slot never written and the pass "
             "would blend uninitialised memory into a real mouth.");
    seen[static_cast<size_t>(r)] = 1;
    in.track_order[i] = r;
  }
  in.cent.resize(2 * un);
  for (size_t i = 0; i < un; ++i) {
    const JVal& c = cent->items[i];
    if (c.kind != JVal::Arr || c.items.size() != 2) refuse(label + " cent[" + std::to_string(i) + "] is not an (x,y) pair");
    in.cent[2 * i] = numOr0(c.items[0]);
    in.cent[2 * i + 1] = numOr0(c.items[1]);
  }
  in.aperture.resize(un);
  for (size_t i = 0; i < un; ++i) in.aperture[i] = numOr0(aperture->items[i]);
  in.c_canon = {numOr0(canon->items[0]), numOr0(canon->items[1])};

  if (const JVal* codec = side.obj("codec")) {
    in.bank_codec = tessera::json::optStr(*codec, "codec", in.bank_codec);
    in.bank_pix_fmt = tessera::json::optStr(*codec, "pix_fmt", in.bank_pix_fmt);
  }
  if (mt) {
    in.bank_container = tessera::json::optStr(*mt, "bank_container", "mp4");
    in.bank_packing = tessera::json::optStr(*mt, "bank_packing", "rgb24_frames");
    in.bank_codec = tessera::json::optStr(*mt, "bank_codec", in.bank_codec);
    in.bank_pix_fmt = tessera::json::optStr(*mt, "bank_pix_fmt", in.bank_pix_fmt);
  }
  if (in.bank_pix_fmt.empty())
    refuse(dir + ": neither manifest.tessera.bank_pix_fmt nor " + label +
           ".codec.pix_fmt states the reference track's pixel format. A decoder handed no format negotiates one, "
           "and the one it settles on is 4:2:0 — lossy chroma on reference pixels IS the borrow degrading. "
           "Refusing rather than letting it guess.");
}

const std::array<const char*, kTesseraSlots>& tesseraSlotKeys() {
  static const std::array<const char*, kTesseraSlots> keys = {"bank_track", "bank_sidecar", "head_weights",
                                                              "head_config"};
  return keys;
}

int tesseraSlotCount() { return kTesseraSlots; }

const std::string& TesseraCarriage::path(const std::string& key) const {
  for (int s = 0; s < kTesseraSlots; ++s)
    if (key == tesseraSlotKeys()[s]) return paths[s];
  refuse("teeth: no such member slot '" + key + "'");
}

std::string tesseraManifestPath(const std::string& dir) {
  for (const char* name : kManifestNames) {
    const std::string path = dir + "/" + name;
    if (opensForReading(path)) return path;
  }
  return {};
}

TesseraCarriage tesseraCarriage(const std::string& bundle) { return carriageIn(resolveDir(bundle)); }
TesseraCarriage tesseraCarriage(const Manifest& manifest) { return carriageIn(manifest.dir); }

void requireTesseraMembers(const TesseraCarriage& c) {
  if (c.complete) return;
  std::string list;
  for (const std::string& key : c.missing) {
    if (!list.empty()) list += ", ";
    for (int s = 0; s < kTesseraSlots; ++s)
      if (key == tesseraSlotKeys()[s]) list += key + " (" + c.names[s] + ")";
  }
  const std::string present = std::to_string(kTesseraSlots - static_cast<int>(c.missing.size()));
  throw MissingTesseraMember(
      "missing teeth member(s): " + list + " — carries " + present + " of 4" +
          (c.declared ? " and declares a manifest.tessera block the members do not keep" : "") +
          ". ONE predicate (owner ruling 2026-09-06): all four members present = ARMED on every plane; any "
          "missing = REFUSED on every plane. The borrow is a SWITCH, not a gradient — there is no rendering mode "
          "that proceeds without them (ostrane-2 IS borrowed teeth). Re-stage the bundle with the bank builder.",
      c.missing);
}

TesseraAttachInputs loadTesseraMembers(const std::string& bundle) { return loadIn(resolveDir(bundle)); }
TesseraAttachInputs loadTesseraMembers(const Manifest& manifest) { return loadIn(manifest.dir); }

void reorderTrackToDonor(const TesseraAttachInputs& in, const uint8_t* track, uint8_t* band) {
  if (in.track_order.size() != static_cast<size_t>(in.n_donors))
    refuse("teeth: track_order does not match n_donors");
  if (in.band_w <= 0 || in.band_h <= 0) refuse("teeth: zero reference stride");
  const size_t stride = static_cast<size_t>(in.band_w) * static_cast<size_t>(in.band_h) * 3u;
  if (!track || !band) refuse("teeth: null band buffer");
  // A record filled by hand can hold any order; a slot outside the band
  // would write past it.
  for (const int32_t slot : in.track_order)
    if (slot < 0 || slot >= in.n_donors) refuse("teeth: track_order does not match n_donors");
  for (size_t k = 0; k < in.track_order.size(); ++k)
    std::memcpy(band + static_cast<size_t>(in.track_order[k]) * stride, track + k * stride, stride);
}

}  // namespace le
