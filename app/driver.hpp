// The command-line driver: one run, one operation, exit code = result.
#pragma once

namespace zel { class Platform; }

// Runs the tool as main() would, on the given platform.
int run(int argc, char** argv, zel::Platform& platform);

// The process exit status for a result. Windows keeps all 32 bits. A POSIX
// exit status holds only 0-255: a result outside that range exits with 255,
// so that no failure can read as success (256 would become 0) or as another
// result (801 would become 33); the log line carries the full number.
int exit_status(int result);

// Prints the usage text on standard output.
void print_usage();
