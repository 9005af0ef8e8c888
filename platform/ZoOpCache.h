// SPDX-License-Identifier: LGPL-2.1-or-later
// Answers of the host remembered for the length of one device-tree
// operation, so that the lookups inside it (a kind's test, its instance,
// the children's tests, the comparison of nodes) stat a node or read a
// device-mapper attribute once. Library-internal.
//
// Outside a Scope every call goes to the host. A Scope is per thread;
// nested scopes share the outermost one's memory, which is dropped when it
// ends. Only use it for questions whose answer may be taken as a snapshot
// for the operation (not for loops that wait for something to change).
#pragma once

#include "ZoHost.h"

#include <string>

namespace zo_cache {

class Scope {
public:
    Scope();
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

// Forgets what the current scope remembers (after the host was told to
// look again, say).
void forget();

// As ZoHost::stat, readAttr and readlink (failures leave errno set to the
// result).
int stat(ZoHost& host, const std::string& path, struct stat* st);
int readAttr(ZoHost& host, const std::string& path, std::string* value);
int readlink(ZoHost& host, const std::string& path, std::string* target);

}  // namespace zo_cache
