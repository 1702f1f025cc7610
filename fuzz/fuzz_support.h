// What the fuzz targets share: a scratch directory, whole files, the input
// reader, and the report of a mismatch with the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "escaped.h"
#include "models.h"

namespace fuzzing {

using testing_support::escaped;

// Takes the leading bytes of an input one at a time; past its end, 0.
class InputReader {
public:
    explicit InputReader(std::span<const std::uint8_t> input) : input_(input) {}
    std::uint8_t byte();
    bool empty() const { return input_.empty(); }
    // Up to count bytes, fewer when the input runs out.
    std::string_view bytes(std::size_t count);
    std::string_view rest() { return bytes(input_.size()); }

private:
    std::span<const std::uint8_t> input_;
};

// Takes the input under test, which fail_with_input shows from now on, and
// gives its reader: how every target begins.
InputReader take_input(const std::uint8_t* data, std::size_t size);

// Reports a difference between the code and its model, shows the input, and
// aborts, so that the fuzzer keeps the input as a finding.
[[noreturn]] void fail_with_input(std::string_view what, std::string_view expected, std::string_view actual);
// The same with a report already made readable.
[[noreturn]] void fail_with_report(std::string_view what, std::string_view report);

void expect_equal(std::string_view what, std::string_view expected, std::string_view actual);
void expect_true(std::string_view what, bool condition);
void expect_same_directory(const model::Directory& expected, const model::Directory& actual);

// A directory of this process, on a memory file system when there is one,
// removed when the process ends.
const std::string& scratch_root();

// Empties the directory at path, creating it when absent.
void make_empty_directory(const std::string& path);

void write_file(const std::string& path, std::string_view bytes);
std::string read_file(const std::string& path);

// The entries of the directory at path, as the model describes them.
model::Directory read_directory(const std::string& path);

// A directory as text, one entry a line, for a report.
std::string shown(const model::Directory& directory);

}  // namespace fuzzing
