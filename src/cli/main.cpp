// panelflash: programs and reads out the flash of the front panel's microcontroller.
#include "cli/options.h"
#include "cli/standard_streams.h"
#include "common/fail.h"
#include "common/panel_constants.h"
#include "program/image_program.h"
#include "readout/read_out.h"
#include "serial/serial_port.h"
#include "version/panel_version.h"

int main(int argc, char** argv) {
    prepare_standard_streams();
    command_line command;
    switch (parse_options(argc, argv, command)) {
    case parse_result::usage:
        print_usage(argv[0]);
    case parse_result::help:
        print_help(argv[0]);
    case parse_result::invalid_version:
        fail_stderr(EXIT_USAGE, "Invalid version <%s>\n%s", command.bad_version,
                    usage_text(argv[0]).c_str());
    case parse_result::run:
        break;
    }
    line_trace = command.trace;
    if (command.device != nullptr) {
        panel_device = command.device;
    }
    switch (command.op) {
    case operation::write:
        program_from_file(command.path, command.minimum_version, command.skip_verify);
        break;
    case operation::read:
        read_flash_to_file(command.path);
        break;
    case operation::version:
        print_panel_version();
        break;
    }
    finish(EXIT_DONE);
}
