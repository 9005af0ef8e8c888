// SPDX-License-Identifier: LGPL-2.1-or-later
// How much of the library's log zodisk shows for -v, -vv, -vvv and -vvvv.
#pragma once

#include <string>

namespace zodisk {

// Installs zodisk's log writer. Without -v the library logs nothing (zodisk
// reports failures in its own words); -v shows its errors and what it
// decided (up to ZO_LOG_INFO), -vv its detail (ZO_LOG_DETAIL), -vvv its trace
// (ZO_LOG_TRACE) but for the lines of each device kind that declined a path
// on the way to the one that took it, which -vvvv adds.
void setVerbosity(int verbose);

// True iff a trace line is one of those declines ("<path> is not supported
// device" from the lookup that tries each kind in turn).
bool isKindDecline(const char* function, const std::string& text);

}  // namespace zodisk
