// Entry of vrtl_sdf: splits the first merged file of a directory into its SDF files.
#include <vector>

#include "console/console.h"
#include "driver/run.h"
#include "platform/process.h"

int main(int argc, char* argv[]) {
    platform::prepare_process();
    const std::vector<platform::Argument> arguments = platform::command_line_arguments(argc, argv);
    Console console = console_on_standard_output();
    const int exit_code = run(arguments, console);
    close_console(console);
    return exit_code;
}
