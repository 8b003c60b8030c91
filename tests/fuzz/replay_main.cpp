// Runs a fuzz target over every file of the given folders (a checked-in corpus). A failing input
// aborts; it is the last one named on standard output.

#include "tests/fuzz/fuzz.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> paths;
    for (int i = 1; i < argc; ++i) {
        paths.insert(paths.end(), std::filesystem::directory_iterator(argv[i]), {});
    }
    std::sort(paths.begin(), paths.end());
    for (const auto& path : paths) {
        std::ifstream file(path, std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), {});
        std::printf("%s\n", path.filename().string().c_str());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%zu corpus inputs replayed\n", paths.size());
    return paths.empty() ? 1 : 0;
}
