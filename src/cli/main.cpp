// panelflash: programs and reads out the flash of the front panel's microcontroller.
#include "cli/operation.h"
#include "cli/options.h"
#include "cli/standard_streams.h"
#include "common/fail.h"
#include "common/panel_constants.h"
#include "report/run_report.h"

int main(int argc, char** argv) {
    prepare_standard_streams();
    command_line command;
    const parse_result parsed = parse_options(argc, argv, command);
    if (parsed != parse_result::run) {
        prepare_account(command.json_path, nullptr);
        end_without_operation(parsed, command, argv[0]);
    }
    run_operation(command);
    finish(EXIT_DONE);
}
