// SPDX-License-Identifier: LGPL-2.1-or-later
// Marks what the shared library exports. The library is built with hidden
// visibility: only declarations carrying ZODEVICE_API are part of its ABI.
#pragma once

#define ZODEVICE_API __attribute__((visibility("default")))
