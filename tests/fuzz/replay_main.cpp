// Runs a fuzz target over every file of the given folders (a checked-in
// corpus), so that each build replays what fuzzing found. A failing input
// aborts the program; the last file named on standard output is the one.

#include "tests/fuzz/fuzz.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> paths;
    for (int i = 1; i < argc; ++i) {
        for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
            paths.push_back(entry.path());
        }
    }
    std::sort(paths.begin(), paths.end());
    for (const auto& path : paths) {
        std::ifstream file(path, std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), {});
        std::printf("%s\n", path.filename().string().c_str());
        std::fflush(stdout); // named before it runs, in case it aborts
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%zu corpus inputs replayed\n", paths.size());
    return paths.empty() ? 1 : 0;
}
