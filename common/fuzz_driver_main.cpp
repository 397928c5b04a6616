// Stand-in for libFuzzer's main in the regular builds: feeds a fuzz target a
// fixed-seed stream of random inputs, each also cut at random lengths, so the
// target runs as an ordinary test (and under the sanitizers). The optional
// argument is the number of inputs.

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int*, char***) { return 0; }

int main(int argc, char** argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 20000;
  std::mt19937 rng(12345);
  for (long i = 0; i < count; ++i) {
    size_t len = rng() % (i % 10 == 0 ? 4096 : 256);
    std::vector<uint8_t> buf(len);
    for (auto& b : buf) b = static_cast<uint8_t>(rng());
    LLVMFuzzerTestOneInput(buf.data(), buf.size());
    size_t cut = len ? rng() % len : 0;
    LLVMFuzzerTestOneInput(buf.data(), cut);
  }
  return 0;
}
