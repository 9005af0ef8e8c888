// SPDX-License-Identifier: LGPL-2.1-or-later
// A program outside the tree, built against the installed package: looks up
// /dev/null, which no device kind accepts.
#include <zodevice/ZoDeviceTree.h>

#include <cstdio>
#include <string>

int main() {
    CLuError err;
    SP<ZoDevice> dev = ZoDeviceTree::getDevice("/dev/null", &err);
    std::printf("handle=%s code=%d message=%s\n", dev ? "set" : "null", err.GetCode(),
                err.AsString().c_str());
    const bool ok = !dev && err.IsError() && err.GetCode() == 774 &&
                    err.AsString() == "Failed to get a ZoDevice Instance for /dev/null";
    return ok ? 0 : 1;
}
