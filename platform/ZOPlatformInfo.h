// SPDX-License-Identifier: LGPL-2.1-or-later
// The product's configuration store: the INI file "/etc/quorvel/config.ini"
// ([Section] headers, key = value lines), read through ZoHost.
#pragma once

class ZOPlatformInfo {
public:
    ZOPlatformInfo();
    // Non-zero and *value set when the key exists in the section and holds a
    // number; 0 otherwise, *value untouched. A missing or unreadable file
    // counts as "not found"; a malformed line is skipped with a log line.
    int getNumber(const char* section, const char* key, unsigned long* value);
};

// Path of the configuration store.
#define ZO_PLATFORM_CONFIG_PATH "/etc/quorvel/config.ini"
