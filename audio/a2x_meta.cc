#include "audio/a2x_meta.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

}  // namespace le::a2x
