// SPDX-License-Identifier: LGPL-2.1-or-later
// Runs commands through the shell.
#pragma once

#include <string>

class ZoProcess {
public:
    // Runs command through /bin/sh -c (through ZoHost), waits, and stores its
    // standard output and standard error (either pointer may be null).
    // Returns 0 iff the command exited with status 0; a command that cannot
    // be started gives a non-zero result. The int and bool are unused (0,
    // false).
    static int system(const char* command, std::string* out, std::string* err, int reserved,
                      bool reserved2);
};
