// The mouth bank's C families: slots, the carriage and the loaded members.
// Every call takes a null handle; the members report into caller buffers.
#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>

#include "core/api.h"
#include "le/le.h"
#include "core/files.h"
#include "tessera/bank_track.h"
#include "tessera/head_weights.h"
#include "tessera/members.h"
#include "tessera/teeth_pass.h"

struct le_tessera_carriage {
  le::TesseraCarriage c;
  std::string pathBuf;
};

struct le_tessera_members {
  le::TesseraAttachInputs in;
};

namespace {

// Runs `body`, reporting a failure into the caller's buffer as
// "<fn>: <reason>" for the C layer's own texts and as the engine's message
// otherwise.
template <typename R, typename Body>
R reporting(const char* fn, char* err, int errLen, R failValue, Body&& body,
            const char* unknown = nullptr) noexcept {
  std::string text;
  try {
    le::api::fill_err(err, errLen, "");
    return body();
  } catch (const std::bad_alloc&) {
    text = std::string(fn) + ": out of memory";
  } catch (const std::exception& e) {
    text = e.what();
  } catch (...) {
    text = unknown ? unknown : std::string(fn) + ": unknown failure";
  }
  le::api::fill_err(err, errLen, text.c_str());
  return failValue;
}

template <typename T>
const T* dataOrNull(const std::vector<T>& v) {
  return v.empty() ? nullptr : v.data();
}

}  // namespace

extern "C" {

int le_tessera_slot_count(void) { return le::tesseraSlotCount(); }

const char* le_tessera_slot_key(int index) {
  return index >= 0 && index < le::kTesseraSlots ? le::tesseraSlotKeys()[static_cast<size_t>(index)] : nullptr;
}

le_tessera_carriage* le_tessera_carriage_open(const char* bundle) {
  if (!bundle) return nullptr;
  try {
    auto* h = new le_tessera_carriage;
    try {
      h->c = le::tesseraCarriage(bundle);
    } catch (const std::bad_alloc&) {
      delete h;
      return nullptr;
    } catch (...) {
      // An unreadable bundle or a refused member name: nothing is carried.
      h->c = le::TesseraCarriage();
      for (const char* key : le::tesseraSlotKeys()) h->c.missing.push_back(key);
    }
    return h;
  } catch (...) {
    return nullptr;
  }
}

void le_tessera_carriage_close(le_tessera_carriage* h) { delete h; }

int le_tessera_carriage_complete(const le_tessera_carriage* h) { return h && h->c.complete ? 1 : 0; }
int le_tessera_carriage_declared(const le_tessera_carriage* h) { return h && h->c.declared ? 1 : 0; }

const char* le_tessera_carriage_path(le_tessera_carriage* h, const char* key) {
  if (!h || !key) return "";
  return le::api::guardQuiet<const char*>("", [&] {
    for (int s = 0; s < le::kTesseraSlots; ++s)
      if (std::string(key) == le::tesseraSlotKeys()[static_cast<size_t>(s)]) {
        h->pathBuf = h->c.paths[static_cast<size_t>(s)];
        return h->pathBuf.c_str();
      }
    return "";
  });
}

int le_tessera_carriage_missing_count(const le_tessera_carriage* h) {
  return h ? static_cast<int>(h->c.missing.size()) : 0;
}

const char* le_tessera_carriage_missing(const le_tessera_carriage* h, int index) {
  if (!h || index < 0 || static_cast<size_t>(index) >= h->c.missing.size()) return nullptr;
  return h->c.missing[static_cast<size_t>(index)].c_str();
}

le_tessera_members* le_tessera_members_open(const char* bundle_dir, char* err, int err_len) {
  return reporting<le_tessera_members*>(__func__, err, err_len, nullptr, [&] {
    if (!bundle_dir) throw std::runtime_error("le_tessera_members_open: null bundle_dir");
    auto* h = new le_tessera_members;
    try {
      h->in = le::loadTesseraMembers(bundle_dir);
    } catch (...) {
      delete h;
      throw;
    }
    return h;
  });
}

void le_tessera_members_close(le_tessera_members* h) { delete h; }

int le_tessera_members_n_donors(const le_tessera_members* h) { return h ? h->in.n_donors : 0; }
const double* le_tessera_members_cent(const le_tessera_members* h) { return h ? dataOrNull(h->in.cent) : nullptr; }
const double* le_tessera_members_aperture(const le_tessera_members* h) {
  return h ? dataOrNull(h->in.aperture) : nullptr;
}
const double* le_tessera_members_c_canon(const le_tessera_members* h) { return h ? h->in.c_canon.data() : nullptr; }
const int32_t* le_tessera_members_stamp(const le_tessera_members* h) { return h ? h->in.stamp.data() : nullptr; }
const uint8_t* le_tessera_members_head_pt(const le_tessera_members* h) {
  return h ? dataOrNull(h->in.head_pt) : nullptr;
}
size_t le_tessera_members_head_pt_len(const le_tessera_members* h) { return h ? h->in.head_pt.size() : 0; }

const char* le_tessera_members_head_json(const le_tessera_members* h) { return h ? h->in.head_json.c_str() : ""; }
const char* le_tessera_members_manifest_json(const le_tessera_members* h) {
  return h ? h->in.manifest_json.c_str() : "";
}
const char* le_tessera_members_bank_track_path(const le_tessera_members* h) {
  return h ? h->in.bank_track_path.c_str() : "";
}
const char* le_tessera_members_bank_container(const le_tessera_members* h) {
  return h ? h->in.bank_container.c_str() : "";
}
const char* le_tessera_members_bank_codec(const le_tessera_members* h) { return h ? h->in.bank_codec.c_str() : ""; }
const char* le_tessera_members_bank_pix_fmt(const le_tessera_members* h) {
  return h ? h->in.bank_pix_fmt.c_str() : "";
}
const char* le_tessera_members_bank_packing(const le_tessera_members* h) {
  return h ? h->in.bank_packing.c_str() : "";
}
int le_tessera_members_band_w(const le_tessera_members* h) { return h ? h->in.band_w : 0; }
int le_tessera_members_band_h(const le_tessera_members* h) { return h ? h->in.band_h : 0; }
uint64_t le_tessera_members_band_bytes(const le_tessera_members* h) { return h ? h->in.bandBytes() : 0; }

int le_tessera_members_reorder(const le_tessera_members* h, const uint8_t* track, uint8_t* band, char* err,
                               int err_len) {
  return reporting<int>(__func__, err, err_len, 1, [&] {
    if (!h || !track || !band) throw std::runtime_error("le_tessera_members_reorder: null argument");
    le::reorderTrackToDonor(h->in, track, band);
    return 0;
  });
}

int le_tessera_members_decode_band(const le_tessera_members* h, uint8_t* band, uint64_t band_len, char* err,
                                   int err_len) {
  return reporting<int>(__func__, err, err_len, 1, [&] {
    if (!h || !band) throw std::runtime_error("le_tessera_members_decode_band: null argument");
    const le::TesseraAttachInputs& in = h->in;
    if (band_len != in.bandBytes())
      throw std::runtime_error("le_tessera_members_decode_band: a band of " + std::to_string(band_len) +
                               " bytes, the bank needs " + std::to_string(in.bandBytes()));
    // Even a lossless track of noise stays under twice the raw band; the cap
    // keeps a hostile file from being read whole.
    const std::string track = le::readWholeFile(in.bank_track_path, 2 * in.bandBytes() + (1u << 20));
    const std::vector<uint8_t> decoded = le::tessera::decodeBankTrack(
        reinterpret_cast<const uint8_t*>(track.data()), track.size(), in.n_donors, in.band_h, in.band_w,
        in.track_order);
    std::copy(decoded.begin(), decoded.end(), band);
    return 0;
  });
}

int le_tessera_run_shift(const uint8_t* band, int n_donors, const double* cent, const double* c_canon,
                         const double* aperture, const int32_t* stamp, const uint8_t* head_pt, size_t head_pt_len,
                         const char* head_config, const uint8_t* frames, const uint8_t* masks, const int32_t* shifts,
                         int count, uint8_t* out_windows, uint8_t* out_passthrough, char* err, int err_len) {
  return reporting<int>(
      __func__, err, err_len, 1,
      [&] {
        if (!band || !cent || !c_canon || !aperture || !stamp || !head_pt || !head_config || count < 0 ||
            (count > 0 && (!frames || !masks || !out_windows || !out_passthrough)))
          throw std::runtime_error("le_tessera_run_shift: null argument or negative count");
        const le::tessera::BankData bank =
            le::tessera::bankFromArrays(band, n_donors, cent, c_canon, aperture, stamp);
        const le::tessera::ServeConfig config = le::tessera::ServeConfig::fromHeadMemberJson(head_config);
        const le::tessera::HeadWeights head = le::tessera::loadHeadPt(head_pt, head_pt_len);
        le::tessera::TeethPass pass(bank, head, config);
        const le::tessera::GeometryStamp& st = pass.stamp();
        const size_t canvas = static_cast<size_t>(st.canvas_w) * st.canvas_h;
        const size_t window = static_cast<size_t>(st.window_w) * st.window_h * 3;
        int emitted = 0;
        le::tessera::FrameResult result;
        auto record = [&] {
          out_passthrough[emitted] = result.passthrough ? 1 : 0;
          if (!result.passthrough)
            std::copy(result.window.begin(), result.window.end(), out_windows + static_cast<size_t>(emitted) * window);
          ++emitted;
        };
        for (int i = 0; i < count; ++i) {
          const int32_t* shift = shifts && shifts[2 * i] != -10000 ? shifts + 2 * i : nullptr;
          if (pass.push(i, frames + static_cast<size_t>(i) * canvas * 3, masks + static_cast<size_t>(i) * canvas, shift,
                        &result))
            record();
        }
        if (pass.flush(&result)) record();
        if (emitted != count)
          throw std::runtime_error("teeth: emitted " + std::to_string(emitted) + " of " + std::to_string(count) +
                                   " frames");
        return 0;
      },
      "teeth: unknown failure");
}

int le_tessera_run(const uint8_t* band, int n_donors, const double* cent, const double* c_canon,
                   const double* aperture, const int32_t* stamp, const uint8_t* head_pt, size_t head_pt_len,
                   const char* head_config, const uint8_t* frames, const uint8_t* masks, int count,
                   uint8_t* out_windows, uint8_t* out_passthrough, char* err, int err_len) {
  return le_tessera_run_shift(band, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len, head_config,
                              frames, masks, nullptr, count, out_windows, out_passthrough, err, err_len);
}

}  // extern "C"
