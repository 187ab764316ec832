// Runs the fuzz target once on each file named on the command line, or on
// every file of each directory named there, without the fuzzing engine.
// The tests replay the seed corpus and every kept finding this way.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (fs::is_directory(argv[i], ec)) {
            for (const auto& entry : fs::directory_iterator(argv[i])) {
                // Inputs only: a directory's notes (*.md) are not replayed.
                if (entry.is_regular_file() && entry.path().extension() != ".md") {
                    files.push_back(entry.path().string());
                }
            }
        } else {
            files.push_back(argv[i]);
        }
    }
    for (const std::string& file : files) {
        std::ifstream stream(file, std::ios::binary);
        if (!stream) {
            std::printf("cannot read %s\n", file.c_str());
            return 1;
        }
        const std::string bytes((std::istreambuf_iterator<char>(stream)),
                                std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return files.empty() ? 1 : 0;
}
