#include "core/env.h"

#include <cstdlib>

namespace le::env {

std::string text(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

char first(const char* name) {
  const char* v = std::getenv(name);
  return v ? v[0] : '\0';
}

long integer(const char* name, long dflt) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtol(v, nullptr, 10) : dflt;
}

}  // namespace le::env
