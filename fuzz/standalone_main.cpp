/*
 * standalone_main.cpp - runs the fuzz target once on every file named on
 * the command line (a folder stands for the files in it), for compilers
 * without libFuzzer. Ends with a non-zero status when a file cannot be read.
 *
 * usage: nvx_open_fetch_fuzzer FILE_OR_FOLDER...
 */
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool RunOne(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 0, unreadable = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(argv[i], error)) {
            for (const auto& entry : std::filesystem::directory_iterator(argv[i], error))
                if (entry.is_regular_file()) files.push_back(entry.path());
        } else {
            files.emplace_back(argv[i]);
        }
        for (const auto& file : files) {
            if (RunOne(file)) {
                ++runs;
            } else {
                std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
                ++unreadable;
            }
        }
    }
    std::printf("%d inputs run\n", runs);
    return unreadable == 0 ? 0 : 1;
}
