// A process-wide cache of loaded models: a load with a key already loaded and
// still in use returns that model; a model lives as long as its last user.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace le {

template <typename T>
class ModelCache {
 public:
  // The model under `key`, or load() (returning std::shared_ptr<const T>)
  // run now, outside the lock: a slow load holds up no other key. Two first
  // loads of one key at once both run; the first to finish is kept. A load
  // that throws caches nothing.
  template <typename Load>
  std::shared_ptr<const T> get(const std::string& key, Load&& load) {
    {
      std::lock_guard<std::mutex> lk(mu_);
      auto it = models_.find(key);
      if (it != models_.end())
        if (std::shared_ptr<const T> m = it->second.lock()) return m;
    }
    std::shared_ptr<const T> loaded = load();
    std::lock_guard<std::mutex> lk(mu_);
    for (auto it = models_.begin(); it != models_.end();)
      it = it->second.expired() ? models_.erase(it) : std::next(it);
    std::weak_ptr<const T>& slot = models_[key];
    if (std::shared_ptr<const T> m = slot.lock()) return m;
    slot = loaded;
    return loaded;
  }

  // Models alive.
  size_t alive() {
    std::lock_guard<std::mutex> lk(mu_);
    size_t n = 0;
    for (const auto& entry : models_) n += entry.second.expired() ? 0 : 1;
    return n;
  }

 private:
  std::mutex mu_;
  std::map<std::string, std::weak_ptr<const T>> models_;
};

// A fingerprint of the files under `dir`: each entry's name, size,
// modification time and inode, two levels deep. Two loads with the same
// fingerprint read the same bytes.
std::string bundleFingerprint(const std::string& dir);

}  // namespace le
