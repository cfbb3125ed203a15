#include "engine/avatar.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "compose/paste.h"
#include "core/bundle.h"
#include "core/files.h"
#include "core/model_cache.h"
#include "core/log.h"
#include "kernels/pool.h"

namespace le {
namespace {

// The compositor's limits are checked before anything is sized by them.
Manifest checkedManifest(Manifest m) {
  Paste::checkSettings(m.crop, m.unsharp);
  return m;
}

ModelCache<Avatar>& cache() {
  static auto* c = new ModelCache<Avatar>;  // avatars may be released during static destruction
  return *c;
}

}  // namespace

Avatar::Avatar(const std::string& dir, const AvatarSettings& settings)
    : manifest_(checkedManifest(loadManifest(dir, settings.bundle))),
      identity_(manifest_),
      drive_(loadDrive(manifest_)),
      settings_(settings),
      pasteScratch_(std::make_unique<LeasePool<PasteScratch>>(static_cast<size_t>(pool::threads()))) {
  for (int i = 0; i < manifest_.nt; ++i) {
    const float* M = identity_.M(i);
    for (int k = 0; k < 6; ++k)
      if (!std::isfinite(M[k]))
        throw std::runtime_error("paste transform row " + std::to_string(i) + " holds a non-finite value");
    try {
      Paste::checkTransform(M, manifest_.crop, manifest_.W, manifest_.H);
    } catch (const std::exception& e) {
      throw std::runtime_error("paste transform row " + std::to_string(i) + ": " + e.what());
    }
  }
  // The paste mask: exactly crop x crop bytes (the member keeps its name
  // whatever the crop side is).
  const std::string path = resolveMember(manifest_.dir, "mask_512.u8");
  const size_t want = static_cast<size_t>(manifest_.crop) * manifest_.crop;
  const int64_t size = regularFileSize(path);
  if (size < 0 || static_cast<uint64_t>(size) < want) throw std::runtime_error("mask read failed");
  if (static_cast<uint64_t>(size) != want)
    throw std::runtime_error("mask read failed: " + path + " holds " + std::to_string(size) + " bytes; a crop of " +
                             std::to_string(manifest_.crop) + " needs exactly " + std::to_string(want));
  mask_ = readExactBytes(path, want);
}

Avatar::SessionHold::SessionHold(const Avatar& a) : avatar_(a) {
  std::lock_guard<std::mutex> lk(a.sessionsMutex_);
  ++a.sessions_;
}

Avatar::SessionHold::~SessionHold() {
  std::lock_guard<std::mutex> lk(avatar_.sessionsMutex_);
  if (--avatar_.sessions_ > 0) return;
  avatar_.pasteScratch_->trim();
  std::lock_guard<std::mutex> dk(avatar_.directorMutex_);
  if (avatar_.director_) avatar_.director_->releaseInputs();
  for (const auto& [key, d] : avatar_.others_)
    if (d) d->releaseInputs();
}

std::shared_ptr<const Director> Avatar::director() const {
  std::lock_guard<std::mutex> lk(directorMutex_);
  if (!director_) {
    int intra = settings_.threads;
    if (!settings_.chosen && settings_.ep.empty()) {
      intra = std::min(settings_.threads, 2);
      log::printf(log::kInfo,
                  "[le] director intra-op %d of pool %d: the caller did not choose, the core sized it for the le_utt "
                  "pipeline\n",
                  intra, settings_.threads);
    }
    director_ = std::make_shared<const Director>(manifest_, identity_, settings_.modelKey, intra, settings_.ep,
                                                 settings_.render);
  }
  return director_;
}

std::shared_ptr<const Director> Avatar::director(const std::string& modelKey, int threads, const std::string& ep) const {
  std::lock_guard<std::mutex> lk(directorMutex_);
  std::shared_ptr<const Director>& d = others_[modelKey + "\n" + std::to_string(threads) + "\n" + ep];
  if (!d) {
    try {
      d = std::make_shared<const Director>(manifest_, identity_, modelKey, threads, ep, settings_.render);
    } catch (...) {
      others_.erase(modelKey + "\n" + std::to_string(threads) + "\n" + ep);
      throw;
    }
  }
  return d;
}

std::shared_ptr<const Director> Avatar::loadedDirector() const {
  std::lock_guard<std::mutex> lk(directorMutex_);
  return director_;
}

std::shared_ptr<const Avatar> Avatar::load(const std::string& bundle, const AvatarSettings& settings) {
  const std::string dir = resolveBundlePath(bundle, settings.bundle.unwrapRoot);
  const RenderSettings& r = settings.render;
  const std::string key = dir + "\n" + settings.modelKey + "\n" + std::to_string(settings.threads) + "\n" + settings.ep +
                          "\n" + (settings.chosen ? "1" : "0") + "\n" + (r.gsFast ? "1" : "0") +
                          (r.gsRewrite ? "1" : "0") + (r.neon ? "1" : "0") + (r.spin ? "1" : "0") + (r.hoist ? "1" : "0") + (r.warpNode ? "1" : "0") + (r.fuse ? "1" : "0") + "\n" + r.profile +
                          "\n" + (settings.bundle.msrcMissingOk ? "1" : "0") + "\n" + bundleFingerprint(dir);
  return cache().get(key, [&] { return std::make_shared<const Avatar>(dir, settings); });
}

size_t Avatar::cached() { return cache().alive(); }

}  // namespace le
