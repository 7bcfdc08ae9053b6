// Runs a fuzz harness once over every input it is given (files, or folders read recursively), as
// libFuzzer runs a corpus, but as a plain program any compiler builds: the seeds and every input
// that ever made a fuzzer fail are replayed by ctest in every build.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);

    // A folder that does not exist holds no inputs (a harness that never failed has no crash
    // folder); running nothing at all is a failure, so a harness cannot go without seeds.
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        fs::path given(argv[i]);
        std::error_code ec;
        if (fs::is_directory(given, ec)) {
            for (const auto& entry : fs::recursive_directory_iterator(given))
                if (entry.is_regular_file()) inputs.push_back(entry.path());
        } else if (fs::is_regular_file(given, ec)) {
            inputs.push_back(given);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        std::fprintf(stderr, "no inputs to replay in:");
        for (int i = 1; i < argc; ++i) std::fprintf(stderr, " %s", argv[i]);
        std::fprintf(stderr, "\n");
        return 1;
    }

    for (const fs::path& path : inputs) {
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            return 1;
        }
        std::vector<char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        // Named before it runs, so the input behind a crash is the last one printed.
        std::printf("replay %s (%zu bytes)\n", path.c_str(), bytes.size());
        std::fflush(stdout);
        // An exact-size copy, as libFuzzer passes it, so a read past the input shows under ASan.
        std::unique_ptr<uint8_t[]> data(new uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), data.get());
        LLVMFuzzerTestOneInput(data.get(), bytes.size());
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
