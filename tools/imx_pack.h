// Packs a bundle directory into one IMX (version 2) container.
#pragma once

#include <string>

namespace le::tools {

// Every regular file below `dir` (links are not followed), in name order.
// Returns the member count; throws std::runtime_error on failure.
size_t packImx(const std::string& dir, const std::string& out);

}  // namespace le::tools
