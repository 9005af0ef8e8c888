// SPDX-License-Identifier: LGPL-2.1-or-later
// Running shell commands through the current host.
#include "ZoProcess.h"

#include "ZoHost.h"

int ZoProcess::system(const char* command, std::string* out, std::string* err, int, bool) {
    if (!command)
        return -1;
    try {
        ZoCommandResult r = ZoHost::current()->run(command);
        if (out)
            *out = r.out;
        if (err)
            *err = r.err;
        if (!r.started)
            return -1;
        return r.exitStatus == 0 ? 0 : (r.exitStatus > 0 ? r.exitStatus : -1);
    } catch (...) {
        return -1;  // out of memory while collecting output
    }
}
