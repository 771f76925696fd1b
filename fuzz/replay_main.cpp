// Runs a fuzz target over files named on the command line, so that the
// targets also run in builds without libFuzzer (gcc, MinGW).
#include <cstdint>
#include <cstdio>
#include <string>

#include "x12scan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string bytes = ReadWholeFile(argv[i]);
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("replayed %d inputs\n", argc - 1);
  return 0;
}
