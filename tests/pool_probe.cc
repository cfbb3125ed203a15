// Prints the worker count and a few part counts as this process sees them,
// so that tests can check the environment rules in a fresh process.
#include <cstdio>

#include "kernels/pool.h"

int main() {
  std::printf("%d %d %d\n", le::pool::threads(), le::pool::parts(100, 60), le::pool::parts(1000, 1));
  return 0;
}
