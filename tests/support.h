// Helpers shared by the tests: scratch directories, whole files, visible bytes.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Every regular file below root, by its path relative to root, with its bytes.
std::map<std::string, std::string> files_below(const std::filesystem::path& root);

}  // namespace testing_support
