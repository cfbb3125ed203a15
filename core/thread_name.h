// Names the calling thread for process listings and profilers (at most 15
// characters are kept).
#pragma once

#include <pthread.h>

namespace le {

inline void nameThisThread(const char* name) { pthread_setname_np(pthread_self(), name); }

}  // namespace le
