// A failure that ends a run with exit code 99: the step that failed, the
// file it concerns, and the message that says so.
#pragma once

#include <string>
#include <string_view>

#include "console/messages.h"

enum class FailedStep { opening, reading, writing, deleting };

struct Failure {
    FailedStep step;
    std::string subject;
};

constexpr std::string_view message_for(FailedStep step) {
    switch (step) {
    case FailedStep::opening: return messages::error_opening;
    case FailedStep::reading: return messages::error_reading;
    case FailedStep::writing: return messages::error_writing;
    case FailedStep::deleting: return messages::error_deleting;
    }
    return messages::error_opening;
}
