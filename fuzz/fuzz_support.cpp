// Helpers shared by the fuzz targets.
#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace fuzzing {

namespace {

std::span<const std::uint8_t> current_input;

// Inputs are shown whole up to this size, then cut.
constexpr std::size_t shown_input_limit = 16384;

void remove_scratch_root() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch_root(), ignored);
}

}  // namespace

std::uint8_t InputReader::byte() {
    if (input_.empty()) return 0;
    const std::uint8_t taken = input_.front();
    input_ = input_.subspan(1);
    return taken;
}

std::string_view InputReader::bytes(std::size_t count) {
    count = std::min(count, input_.size());
    const std::string_view taken(reinterpret_cast<const char*>(input_.data()), count);
    input_ = input_.subspan(count);
    return taken;
}

InputReader take_input(const std::uint8_t* data, std::size_t size) {
    current_input = std::span<const std::uint8_t>(data, size);
    return InputReader(current_input);
}

void fail_with_report(std::string_view what, std::string_view report) {
    const std::string_view input(reinterpret_cast<const char*>(current_input.data()),
                                 std::min(current_input.size(), shown_input_limit));
    std::fprintf(stderr, "\n=== mismatch: %.*s\n%.*s--- input (%zu bytes%s):\n%s\n", static_cast<int>(what.size()),
                 what.data(), static_cast<int>(report.size()), report.data(), current_input.size(),
                 current_input.size() > shown_input_limit ? ", cut" : "", escaped(input).c_str());
    remove_scratch_root();  // abort() skips the removal at exit
    std::abort();
}

void fail_with_input(std::string_view what, std::string_view expected, std::string_view actual) {
    fail_with_report(what, "--- expected:\n" + escaped(expected) + "\n--- actual:\n" + escaped(actual) + "\n");
}

void expect_equal(std::string_view what, std::string_view expected, std::string_view actual) {
    if (expected != actual) fail_with_input(what, expected, actual);
}

void expect_true(std::string_view what, bool condition) {
    if (!condition) fail_with_input(what, "true", "false");
}

void expect_same_directory(const model::Directory& expected, const model::Directory& actual) {
    if (expected != actual) {
        fail_with_report("the files of the directory", "--- expected:\n" + shown(expected) + "--- actual:\n" + shown(actual));
    }
}

const std::string& scratch_root() {
    static const std::string root = [] {
        const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : P_tmpdir;
        std::string pattern = std::string(base) + "/vrtl_sdf_fuzz.XXXXXX";
        if (!mkdtemp(pattern.data())) {
            std::perror("cannot make a scratch directory");
            std::abort();
        }
        return pattern;
    }();
    static const bool removal_registered = std::atexit(remove_scratch_root) == 0;
    (void)removal_registered;
    return root;
}

void make_empty_directory(const std::string& path) {
    std::filesystem::remove_all(path);
    std::filesystem::create_directory(path);
}

void write_file(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) fail_with_input("cannot write the scratch file " + path, "", "");
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) fail_with_input("cannot read the scratch file " + path, "", "");
    std::string bytes(static_cast<std::size_t>(in.tellg()), '\0');
    in.seekg(0);
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
        fail_with_input("cannot read the scratch file " + path, "", "");
    }
    return bytes;
}

model::Directory read_directory(const std::string& path) {
    model::Directory directory;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        const std::string name = entry.path().filename().string();
        model::Entry& found = directory[name];
        if (entry.is_symlink()) {
            found.kind = model::Entry::Kind::link;
            found.target = std::filesystem::read_symlink(entry.path()).string();
        } else if (entry.is_directory()) {
            found.kind = model::Entry::Kind::directory;
        } else {
            found.bytes = read_file(entry.path().string());
        }
    }
    return directory;
}

std::string shown(const model::Directory& directory) {
    std::string text;
    for (const auto& [name, entry] : directory) {
        text += name;
        switch (entry.kind) {
        case model::Entry::Kind::file: text += " = \"" + escaped(entry.bytes) + "\"\n"; break;
        case model::Entry::Kind::directory: text += " (directory)\n"; break;
        case model::Entry::Kind::link: text += " -> " + entry.target + "\n"; break;
        }
    }
    return text;
}

}  // namespace fuzzing
