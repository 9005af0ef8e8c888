// SPDX-License-Identifier: LGPL-2.1-or-later
// A blocking, exclusive lock on a named file, through the current host.
#include "ZoFileLock.h"

#include "ZoHost.h"

#include <cerrno>

ZoFileLock::ZoFileLock(bool) {}

ZoFileLock::~ZoFileLock() { unlock(); }

int ZoFileLock::lock(const char* path, LockType, int) {
    unlock();
    if (!path || !*path) {
        errno = EINVAL;
        return EINVAL;
    }
    std::unique_ptr<ZoHostLock> held;
    int rc = ZoHost::current()->lockFile(path, &held);
    if (rc != 0)
        return rc;
    if (!held) {
        errno = EINVAL;
        return EINVAL;
    }
    m_lock = std::move(held);
    return 0;
}

void ZoFileLock::unlock() {
    if (m_lock) {
        m_lock->release();
        m_lock.reset();
    }
}
