/*
 * Runs a fuzz target over saved inputs without libFuzzer, so that the corpus
 * is an ordinary test in every build. Arguments: files or folders of inputs.
 */
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

static void Replay(const fs::path &file) {
  std::ifstream stream(file, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(stream)), {});
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

int main(int argc, char *argv[]) {
  size_t replayed = 0;
  for (int index = 1; index < argc; ++index) {
    if (fs::is_directory(argv[index])) {
      for (const auto &entry : fs::recursive_directory_iterator(argv[index])) {
        if (entry.is_regular_file()) {
          Replay(entry.path());
          ++replayed;
        }
      }
    } else {
      Replay(argv[index]);
      ++replayed;
    }
  }
  std::printf("replayed %zu inputs\n", replayed);
  return replayed > 0 ? 0 : 1;
}
