#include "audio/a2x_meta.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace le::a2x {
namespace {

// Offset just past the ':' that follows "key", or npos.
size_t valueAt(const std::string& text, const char* key) {
  const std::string quoted = std::string("\"") + key + "\"";
  const size_t k = text.find(quoted);
  if (k == std::string::npos) return std::string::npos;
  const size_t colon = text.find(':', k + quoted.size());
  return colon == std::string::npos ? std::string::npos : colon + 1;
}

}  // namespace

int metaKeyCount(const std::string& text, const char* key) {
  const std::string quoted = std::string("\"") + key + "\"";
  int n = 0;
  for (size_t k = text.find(quoted); k != std::string::npos; k = text.find(quoted, k + 1)) {
    size_t i = k + quoted.size();
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
    n += i < text.size() && text[i] == ':';
  }
  return n;
}

bool metaInt(const std::string& text, const char* key, long long* out) {
  size_t i = valueAt(text, key);
  if (i == std::string::npos) return false;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
  size_t j = i;
  if (j < text.size() && (text[j] == '-' || text[j] == '+')) ++j;
  if (j >= text.size() || text[j] < '0' || text[j] > '9') return false;
  // A bounded copy: the text need not be terminated where the digits end.
  size_t end = j;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9' && end - i < 40) ++end;
  const std::string digits = text.substr(i, end - i);
  errno = 0;
  *out = std::strtoll(digits.c_str(), nullptr, 10);
  return true;
}

int metaFlag(const std::string& text, const char* key) {
  size_t i = valueAt(text, key);
  if (i == std::string::npos) return -1;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (text.compare(i, 4, "true") == 0) return 1;
  if (text.compare(i, 5, "false") == 0) return 0;
  long long v = 0;
  // The integer form, read from this position on.
  const std::string rest = text.substr(i, 48);
  if (!metaInt("\"k\":" + rest, "k", &v)) return -1;
  return v != 0 ? 1 : 0;
}

Meta parseMeta(const std::string& text) {
  constexpr long long kMaxH = 4096, kMaxSide = 512, kMaxLayers = 64, kMaxSpan = 2048;
  long long h = 256, window = -1, left = -1, layers = 6, silence = 0;
  for (const char* key : {"h", "window", "left", "layers", "width", "silence_prime"})
    if (metaKeyCount(text, key) > 1)
      throw std::runtime_error(std::string("a2x_meta.json: the key \"") + key + "\" appears more than once");
  metaInt(text, "h", &h);
  const bool hasWindow = metaInt(text, "window", &window), hasLeft = metaInt(text, "left", &left);
  if (!hasWindow || !hasLeft || window < 0 || left < 0)
    throw std::runtime_error("meta lacks causal window/left (not a streaming a2x)");
  metaInt(text, "layers", &layers);
  auto range = [](const char* key, long long v, long long lo, long long hi) {
    if (v < lo || v > hi)
      throw std::runtime_error(std::string("a2x_meta ") + key + "=" + std::to_string(v) + " out of range " +
                               std::to_string(lo) + ".." + std::to_string(hi));
  };
  range("h", h, 1, kMaxH);
  range("window", window, 0, kMaxSide);
  range("left", left, 0, kMaxSide);
  range("layers", layers, 1, kMaxLayers);
  if ((window + left) * layers > kMaxSpan)
    throw std::runtime_error("a2x_meta window/left x layers span " + std::to_string((window + left) * layers) +
                             " frames (at most " + std::to_string(kMaxSpan) + ")");
  metaInt(text, "silence_prime", &silence);
  Meta m;
  m.h = static_cast<int>(h);
  m.window = static_cast<int>(window);
  m.left = static_cast<int>(left);
  m.layers = static_cast<int>(layers);
  m.width = metaFlag(text, "width") == 1 ? 1 : 0;
  m.silencePrime = silence;
  return m;
}

}  // namespace le::a2x
