// Running the operation the command line names.
#include "cli/operation.h"

#include "compare/compare.h"
#include "program/program.h"
#include "readout/read_out.h"
#include "report/run_report.h"
#include "serial/serial_port.h"
#include "version/panel_version.h"

// The names the run's account gives the operations.
static const char* operation_name(operation op) {
    switch (op) {
    case operation::program:
        return "program";
    case operation::read_out:
        return "read_out";
    case operation::version:
        return "version";
    case operation::compare:
        return "compare";
    }
    return nullptr;
}

void run_operation(const command_line& command) {
    line_trace = command.trace;
    if (command.device != nullptr) {
        panel_device = command.device;
    }
    report.operation = operation_name(command.op);
    report.path = command.path;
    report.device = panel_device;
    prepare_account(command.json_path, command.path);
    switch (command.op) {
    case operation::program:
        program_from_file(command.path, command.minimum_version,
                          {.skip_verify = command.skip_verify,
                           .only_differing = command.skip_same,
                           .ask_running = !command.no_confirm});
        break;
    case operation::read_out:
        read_flash_to_file(command.path);
        break;
    case operation::version:
        print_panel_version();
        break;
    case operation::compare:
        compare_with_file(command.path);
        break;
    }
}
