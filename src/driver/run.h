// The whole run of the command, from the banner to the exit code.
#pragma once

#include <span>

#include "console/console.h"
#include "platform/process.h"

inline constexpr int exit_normal = 0;
inline constexpr int exit_failed = 99;

// arguments are the command-line arguments after the program name.
int run(std::span<const platform::Argument> arguments, Console& console);
