// SPDX-License-Identifier: LGPL-2.1-or-later
// What the device kinds share in their implementation: recording an
// exception they caught, and the static operations of the kinds whose
// devices are block devices without children, told apart by a test of the
// node alone (Xen, NVMe). Library-internal.
#pragma once

#include "CLuError.h"
#include "SP.h"
#include "ZoDevice.h"
#include "ZoException.h"

#include <sys/stat.h>

#include <list>
#include <string>

namespace zo_kind {

// Where a kind logs an exception it caught.
enum class ExceptionLog {
    None,
    EvDebugError,  // EvDebug::Error under the exception's function name, "%s"
    LogWriter,     // g_ptrLogWriter at ZO_LOG_ERROR under where's function and line, "%s"
};

// Records a caught exception: logs its message as log says, then, when err
// is given, sets it to code 774, "%s" with the message, at where. With
// keepEarlier an error err already holds stays instead.
void recordException(const FXCodeLocation& where, const ZoException& e, CLuError* err,
                     ExceptionLog log, bool keepEarlier = false);

// The node test the childless kinds start with. On success returns true and
// the node's status in *st. A path that cannot be stat'ed gives false and,
// when err is given, "Failed to stat device [%s]" with the path and the
// errno, at where (replacing what err held); a node that is not a block
// device gives false and leaves err alone.
bool statBlockNode(const char* path, CLuError* err, const FXCodeLocation& where, struct stat* st);

typedef bool (*AcceptFn)(const char* path, CLuError* err);

// getInstance of a childless kind: when accept(path, err), the device
// make() builds; otherwise an empty handle (err as accept left it). A
// ZoException is recorded as log says (replacing err) and gives an empty
// handle.
template <class Make>
SP<ZoDevice> childlessInstance(AcceptFn accept, const char* path, CLuError* err, Make make,
                               ExceptionLog log, const FXCodeLocation& where) {
    try {
        if (!accept(path, err)) return SP<ZoDevice>();
        return make();
    } catch (ZoException& e) {
        recordException(where, e, err, log);
        return SP<ZoDevice>();
    }
}

// getDevices of a childless kind: out becomes "/dev/<entry>" for each
// /sys/block entry, in directory order, that accept takes (accept gets err
// and may leave errors in it for entries it refuses; a /sys/block that
// cannot be read gives nothing); returns 0. A ZoException is recorded as
// log says (replacing err) and gives -1, out holding what was found so far.
int childlessDevices(AcceptFn accept, std::list<std::string>& out, CLuError* err,
                     ExceptionLog log, const FXCodeLocation& where);

}  // namespace zo_kind
