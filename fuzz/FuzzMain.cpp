// One libFuzzer program: KESTRO_FUZZ_TARGET names the body it runs.
#include "fuzz/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzz::KESTRO_FUZZ_TARGET(data, size);
}
