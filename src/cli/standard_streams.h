// The standard streams as the tool needs them, whatever started it: a shell, cron, an init
// system, or a pipeline whose reader goes away.
#pragma once

// Opens /dev/null on each of descriptors 0-2 that is closed, so that neither the port nor the
// dump can become one of them; ignores SIGPIPE, so that losing the reader of the log never
// ends an operation half done; makes standard output line-buffered, so that a log shows each
// message as it is printed. Called before anything else is opened or printed.
void prepare_standard_streams();
