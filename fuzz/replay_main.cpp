// Runs a fuzz target's input handler once on every file given (directories
// are walked), without libFuzzer: the seed corpora and the inputs of past
// findings become regression tests in every build.
// Usage: TARGET_replay PATH...

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void run_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> paths(argv + 1, argv + argc);
    LLVMFuzzerInitialize(&argc, &argv);
    size_t runs = 0;
    for (const auto& p : paths) {
        if (std::filesystem::is_directory(p)) {
            for (const auto& e : std::filesystem::recursive_directory_iterator(p))
                if (e.is_regular_file()) {
                    run_file(e.path());
                    ++runs;
                }
        } else {
            run_file(p);
            ++runs;
        }
    }
    std::fprintf(stderr, "%zu inputs replayed\n", runs);
    return runs > 0 ? 0 : 1;
}
