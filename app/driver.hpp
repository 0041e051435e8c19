// The command-line driver: one run, one operation, exit code = result.
#pragma once

namespace zel {
class Platform;
}

// Runs the tool as main() would, on the given platform; the operation's
// result (the platform turns it into the process exit status).
int run(int argc, char** argv, zel::Platform& platform);
