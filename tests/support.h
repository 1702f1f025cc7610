// Helpers shared by the tests: scratch directories, whole files and trees of them, visible bytes.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "escaped.h"

namespace testing_support {

// A fresh directory, removed with everything in it at the end of the test.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string operator/(std::string_view name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

void write_file(const std::string& path, std::string_view bytes);
std::optional<std::string> read_file(const std::string& path);

// Files by their paths relative to a directory, with their bytes.
using Files = std::map<std::string, std::string>;

void write_files(const std::filesystem::path& directory, const Files& files);

// The regular files of a directory, by name; symbolic links are left out.
Files files_in(const std::filesystem::path& directory);

// Whether the regular files below root are exactly the expected ones, byte
// for byte; if not, which are absent, unexpected or different, escaped.
testing::AssertionResult holds_exactly(const std::filesystem::path& root, const Files& expected);

}  // namespace testing_support
