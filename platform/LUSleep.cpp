// SPDX-License-Identifier: LGPL-2.1-or-later
// Sleeping through the current host.
#include "LUSleep.h"

#include "ZoHost.h"

void LUSLEEP_InTeRnAl(unsigned long milliseconds, const char*, int) {
    ZoHost::current()->sleepMs(milliseconds);
}
