// The environment switches, read through one place. Each caller reads its
// variable at the moment it takes effect (bundle resolution, context or
// renderer creation, the first pool use), so a host may change them between
// creations.
#pragma once

#include <string>

namespace le::env {

// The value of `name`; "" when unset.
std::string text(const char* name);
// The first character of the value; '\0' when unset or empty.
char first(const char* name);
// The value read as a decimal integer (strtol), or `dflt` when unset or empty.
long integer(const char* name, long dflt);

}  // namespace le::env
