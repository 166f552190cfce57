// The version operation (-i): the running firmware's version, without flash mode.
#include "version/panel_version.h"

#include "common/fail.h"
#include "common/panel_constants.h"
#include "protocol/panel_protocol.h"
#include "serial/serial_port.h"

void print_panel_version() {
    open_panel_port();
    send_zero_burst();
    // query_version has said why: the panel is in its bootloader, or not there at all.
    if (query_version(0) == version_answer::unknown) {
        finish(EXIT_NO_PANEL);
    }
}
