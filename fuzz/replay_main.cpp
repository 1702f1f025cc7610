// Runs a fuzz target once on every file named, or found in a directory
// named, on the command line: the seeds, replayed by every test run in builds
// without the fuzzing engine.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int replay(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    const std::vector<std::uint8_t> input(std::istreambuf_iterator<char>(in), {});
    std::fprintf(stderr, "replaying %s (%zu bytes)\n", path.c_str(), input.size());
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int failures = 0;
    std::size_t replayed = 0;
    for (int index = 1; index < argc; ++index) {
        const std::filesystem::path named(argv[index]);
        if (!std::filesystem::is_directory(named)) {
            failures += replay(named);
            ++replayed;
            continue;
        }
        for (const auto& entry : std::filesystem::directory_iterator(named)) {
            if (!entry.is_regular_file()) continue;
            failures += replay(entry.path());
            ++replayed;
        }
    }
    std::fprintf(stderr, "%zu inputs replayed\n", replayed);
    return failures == 0 && replayed > 0 ? 0 : 1;
}
