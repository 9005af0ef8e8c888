// SPDX-License-Identifier: LGPL-2.1-or-later
// Sleeping through ZoHost (a host tree records the sleep instead).
#pragma once

void LUSLEEP_InTeRnAl(unsigned long milliseconds, const char* file, int line);

#define LUSLEEP(ms) LUSLEEP_InTeRnAl((ms), __FILE__, __LINE__)
