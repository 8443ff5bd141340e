// A small stand-in for libFuzzer where clang is not available: mutates the seed files given on the
// command line (byte flips, inserted length words, truncation, splices) and runs the fuzz target on each.
//   g++ -std=c++20 -g -O1 -fsanitize=address,undefined -Isrc fuzz/dicom_fhir_fuzz.cpp fuzz/mutation_driver.cpp
//     src/dicom/*.cpp src/fhir/*.cpp src/agent/*.cpp -o build/dicom_mutation_fuzz
//   build/dicom_mutation_fuzz ITERATIONS SEED_FILE...
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Words that steer the reader into its repair paths: undefined lengths, item and delimiter tags, VRs.
constexpr std::uint8_t kInteresting[][4] = {
    {0xFF, 0xFF, 0xFF, 0xFF}, {0xFE, 0xFF, 0x00, 0xE0}, {0xFE, 0xFF, 0x0D, 0xE0}, {0xFE, 0xFF, 0xDD, 0xE0},
    {'U', 'N', 0, 0},         {'S', 'Q', 0, 0},         {'O', 'B', 0, 0},         {0xE0, 0x7F, 0x10, 0x00},
    {0x29, 0x00, 0x10, 0x00}, {0x00, 0x00, 0x00, 0x00}, {0xFF, 0xFF, 0x00, 0x00}, {'U', 'L', 0x03, 0x00},
};

Bytes mutate(Bytes data, std::mt19937& rng) {
  const int steps = 1 + static_cast<int>(rng() % 6);
  for (int i = 0; i < steps && !data.empty(); ++i) {
    const std::size_t at = rng() % data.size();
    switch (rng() % 5) {
      case 0:
        data[at] = static_cast<std::uint8_t>(rng());
        break;
      case 1: {
        const auto& word = kInteresting[rng() % std::size(kInteresting)];
        for (std::size_t k = 0; k < 4 && at + k < data.size(); ++k) data[at + k] = word[k];
        break;
      }
      case 2:
        data.resize(at);
        break;
      case 3: {
        const std::size_t from = rng() % data.size();
        const std::size_t count = std::min<std::size_t>(rng() % 64, data.size() - from);
        Bytes piece(data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(from + count));
        data.insert(data.begin() + static_cast<long>(at), piece.begin(), piece.end());
        break;
      }
      default:
        data.erase(data.begin() + static_cast<long>(at));
        break;
    }
  }
  return data;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s ITERATIONS SEED_FILE...\n", argv[0]);
    return 2;
  }
  const long iterations = std::strtol(argv[1], nullptr, 10);
  std::vector<Bytes> seeds;
  for (int i = 2; i < argc; ++i) seeds.push_back(read_file(argv[i]));
  std::mt19937 rng(12345);
  for (long n = 0; n < iterations; ++n) {
    const Bytes input = mutate(seeds[static_cast<std::size_t>(n) % seeds.size()], rng);
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  std::printf("%ld inputs\n", iterations);
  return 0;
}
