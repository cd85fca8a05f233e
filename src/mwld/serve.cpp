// The MLLP receiver.
#include "mwld/serve.h"

#include <cstdio>

int run_serve(const CommandLine&) {
  std::fputs("hl7mwld: serve is not available yet\n", stderr);
  return 2;
}
