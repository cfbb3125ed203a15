// A loaded avatar: what le_create reads from a bundle and what never changes
// afterwards (manifest, identity maps, driving track, paste mask, the
// director's session), shared read-only by every context on it. Loads go
// through a process-wide cache: a second load of the same bundle (same files:
// path, size, modification time), model key and load settings returns the
// avatar already loaded, which lives as long as its last user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "compose/paste.h"
#include "core/lease_pool.h"
#include "core/manifest.h"
#include "core/settings.h"
#include "identity/identity.h"
#include "render/renderer.h"

namespace le {

struct AvatarSettings {
  std::string modelKey;
  int threads = 1;       // the director's pool (already clamped)
  std::string ep;        // execution provider of the director
  bool chosen = false;   // whether the caller picked the thread count
  RenderSettings render; // the director's load switches
  BundleSettings bundle; // container unwrapping and the manifest's stamp rule
};

class Avatar {
 public:
  // The avatar of `bundle` (a directory or an IMX container), from the cache
  // or loaded now. Throws on every refusal; a failed load is not cached.
  static std::shared_ptr<const Avatar> load(const std::string& bundle, const AvatarSettings& settings);
  // Avatars alive in the cache (for tests and reports).
  static size_t cached();

  Avatar(const std::string& dir, const AvatarSettings& settings);
  Avatar(const Avatar&) = delete;
  Avatar& operator=(const Avatar&) = delete;

  const Manifest& manifest() const { return manifest_; }
  const Identity& identity() const { return identity_; }
  const Drive& drive() const { return drive_; }
  const std::vector<uint8_t>& mask() const { return mask_; }
  const AvatarSettings& settings() const { return settings_; }
  // The compositors' scratch, shared by every stream on the avatar: as many
  // as the cores composite at once.
  LeasePool<PasteScratch>& pasteScratch() const { return *pasteScratch_; }

  // The director, loaded by the first caller (a failed load is tried again
  // by the next); null from loadedDirector() until then.
  std::shared_ptr<const Director> director() const;
  std::shared_ptr<const Director> loadedDirector() const;
  // Another graph of the bundle (a batched director), loaded once per key,
  // thread count and provider and kept while the avatar lives.
  std::shared_ptr<const Director> director(const std::string& modelKey, int threads, const std::string& ep) const;

  // Held by each utterance session on the avatar: when the last one ends,
  // the compositors' scratch and the directors' run inputs are freed (a host
  // between conversations needs none).
  class SessionHold {
   public:
    explicit SessionHold(const Avatar& a);
    ~SessionHold();
    SessionHold(const SessionHold&) = delete;
    SessionHold& operator=(const SessionHold&) = delete;

   private:
    const Avatar& avatar_;
  };

 private:
  Manifest manifest_;
  Identity identity_;
  Drive drive_;
  std::vector<uint8_t> mask_;
  AvatarSettings settings_;
  std::unique_ptr<LeasePool<PasteScratch>> pasteScratch_;
  mutable std::mutex directorMutex_;
  mutable std::shared_ptr<const Director> director_;
  mutable std::map<std::string, std::shared_ptr<const Director>> others_;
  mutable std::mutex sessionsMutex_;
  mutable int sessions_ = 0;
};

}  // namespace le
