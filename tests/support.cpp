// Helpers shared by the tests.
#include "support.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace testing_support {

ScratchDir::ScratchDir() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate =
            std::filesystem::temp_directory_path() / ("vrtl_sdf_test." + std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot make a scratch directory");
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    // Tests take permissions away; give them back so that everything can go.
    constexpr auto usable = std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                            std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                            std::filesystem::perms::others_exec;
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) std::filesystem::permissions(it->path(), usable, ignored);
    }
    std::filesystem::permissions(path_, usable, ignored);
    std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_files(const std::filesystem::path& directory, const Files& files) {
    for (const auto& [name, bytes] : files) write_file((directory / name).string(), bytes);
}

Files files_in(const std::filesystem::path& directory) {
    Files files;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (entry.is_regular_file() && !entry.is_symlink()) {
            files[entry.path().filename().string()] = *read_file(entry.path().string());
        }
    }
    return files;
}

testing::AssertionResult holds_exactly(const std::filesystem::path& root, const Files& expected) {
    Files found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file() || entry.is_symlink()) continue;
        found[std::filesystem::relative(entry.path(), root).string()] = read_file(entry.path().string()).value_or("");
    }
    std::string differences;
    for (const auto& [name, bytes] : expected) {
        const auto file = found.find(name);
        if (file == found.end()) {
            differences += "\n  absent: " + escaped(name) + ", expected \"" + escaped(bytes) + "\"";
        } else if (file->second != bytes) {
            differences += "\n  different: " + escaped(name) + " = \"" + escaped(file->second) + "\", expected \"" +
                           escaped(bytes) + "\"";
        }
    }
    for (const auto& [name, bytes] : found) {
        if (!expected.contains(name)) differences += "\n  unexpected: " + escaped(name) + " = \"" + escaped(bytes) + "\"";
    }
    if (differences.empty()) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the files below " << root.string() << " are not as expected:" << differences;
}

}  // namespace testing_support
