// SPDX-License-Identifier: LGPL-2.1-or-later
#include "ZoKindSupport.h"

#include "EvDebug.h"
#include "ZoHost.h"
#include "ZoOpCache.h"

#include <cstring>
#include <vector>

namespace zo_kind {

void recordException(const FXCodeLocation& where, const ZoException& e, CLuError* err,
                     ExceptionLog log, bool keepEarlier) {
    if (log == ExceptionLog::EvDebugError)
        EvDebug(nullptr).Error(e.getFuncName(), "%s", e.getMessage());
    else if (log == ExceptionLog::LogWriter && g_ptrLogWriter)
        g_ptrLogWriter->write(ZO_LOG_ERROR, where.function().c_str(), where.line(), 0, 0, "%s",
                              e.getMessage());
    if (err && !(keepEarlier && err->IsError()))
        *err = FXErrorUtil::ErrorWin32(where, ZO_ERROR_CODE, "%s", e.getMessage());
}

bool statBlockNode(const char* path, CLuError* err, const FXCodeLocation& where, struct stat* st) {
    std::memset(st, 0, sizeof *st);
    if (int rc = zo_cache::stat(*ZoHost::current(), path, st)) {
        if (err) *err = FXErrorUtil::ErrorErrNo(where, rc, "Failed to stat device [%s]", path);
        return false;
    }
    // Only disks: a character node on the same major (the msr device of a
    // Xen guest, an NVMe controller's node) is not one.
    return S_ISBLK(st->st_mode);
}

int childlessDevices(AcceptFn accept, std::list<std::string>& out, CLuError* err,
                     ExceptionLog log, const FXCodeLocation& where) {
    out.clear();
    try {
        std::vector<std::string> names;
        if (ZoHost::current()->listDir("/sys/block", &names) != 0) return 0;
        for (const std::string& name : names) {
            const std::string path = "/dev/" + name;
            if (accept(path.c_str(), err)) out.push_back(path);
        }
        return 0;
    } catch (ZoException& e) {
        recordException(where, e, err, log);
        return -1;
    }
}

}  // namespace zo_kind
