// Helpers of the distribution tests: merged lines, console texts, and one
// distribution in a scratch directory.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "console_texts.h"
#include "distribute/distribute.h"
#include "support.h"

namespace testing_support {

// A merged line: the name padded to 8 characters, two header characters, the record, CR LF.
std::string line(std::string name, std::string_view record);

struct Outcome {
    std::string console;
    std::int64_t sdf_files_opened = 0;
    std::optional<FailedStep> failed_step;
    std::string failure_subject;
};

// Distributes merged, read from "in.mrg" in a directory that holds the files
// before, checks that the directory then holds the files after beside the
// merged file as it was, and gives what else came of it.
Outcome distribute(const std::string& merged, const Files& before, const Files& after,
                   const std::function<void(const ScratchDir&)>& prepare = {});

// An SDF name that must be refused: the run before it is kept, nothing is written for it.
struct RefusedCase {
    const char* name;
    std::string merged;
    std::function<void(const ScratchDir&)> prepare;
    std::string console;
    std::string refused;
};

inline void PrintTo(const RefusedCase& test, std::ostream* out) { *out << test.name; }

class RefusedSdfFileTest : public testing::TestWithParam<RefusedCase> {};

inline std::string refused_case_name(const testing::TestParamInfo<RefusedCase>& info) { return info.param.name; }

}  // namespace testing_support
