// The settings of the panel's line, apart from the port so that they can be checked field by
// field without a device.
#include "serial/serial_port.h"

void apply_line_settings(termios& settings) {
    settings.c_iflag = IGNBRK | IGNPAR;
    settings.c_oflag = 0;
    settings.c_lflag = 0;
    settings.c_line = 0;
    settings.c_cc[VTIME] = 0;
    settings.c_cc[VMIN] = 1;
    settings.c_cflag = CS8 | CREAD | HUPCL;
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
}
