// SPDX-License-Identifier: MIT
// Runs a fuzz harness over saved inputs without libFuzzer, so that any
// compiler (GCC included) replays the corpus as an ordinary test.
//   harness_replay PATH...   each PATH a file or a directory of files
// Fails when a path cannot be read or holds no input; a failing check aborts
// inside the harness, as it would under libFuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

namespace {

bool replay(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
  // A buffer of exactly the input's size, so ASan sees any read past its
  // end, and never null, even when empty, as under libFuzzer.
  const auto data = std::make_unique<uint8_t[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), data.get());
  LLVMFuzzerTestOneInput(data.get(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  std::size_t inputs = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<fs::path> files;
    std::error_code error;
    if (fs::is_directory(argv[i], error)) {
      for (const auto& entry : fs::directory_iterator(argv[i], error))
        if (entry.is_regular_file()) files.push_back(entry.path());
      std::sort(files.begin(), files.end());
    } else {
      files.emplace_back(argv[i]);
    }
    for (const auto& file : files) {
      if (!replay(file)) {
        std::printf("cannot read %s\n", file.c_str());
        return 1;
      }
      ++inputs;
    }
  }
  std::printf("replayed %zu inputs\n", inputs);
  return inputs == 0 ? 1 : 0;
}
