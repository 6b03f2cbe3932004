// replay_main.cpp -- runs a fuzz target's entry function over stored inputs,
// so that ordinary (gcc) builds replay the seed corpus and every recorded
// finding under ctest without libFuzzer.
// Usage: <target>_replay DIR|FILE...   (a directory is read in name order)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  // Inputs are named before the target's set-up, which may change the
  // working directory.
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i) names.push_back(fs::absolute(argv[i]).string());
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<fs::path> inputs;
  for (const std::string& name : names) {
    std::error_code ec;
    if (fs::is_directory(name, ec)) {
      std::vector<fs::path> files;
      for (const auto& entry : fs::directory_iterator(name)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      if (files.empty()) {
        std::fprintf(stderr, "no inputs in %s\n", name.c_str());
        return 1;
      }
      inputs.insert(inputs.end(), files.begin(), files.end());
    } else if (fs::is_regular_file(name, ec)) {
      inputs.emplace_back(name);
    } else {
      std::fprintf(stderr, "cannot read %s\n", name.c_str());
      return 1;
    }
  }
  for (const auto& input : inputs) {
    std::ifstream in(input, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A failing input aborts inside the entry function; naming it first
    // tells which one it was.
    std::fprintf(stderr, "replaying %s (%zu bytes)\n", input.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("%zu passed, 0 failed\n", inputs.size());
  return 0;
}
