// SPDX-License-Identifier: LGPL-2.1-or-later
// An exclusive, blocking lock on a named file (through ZoHost).
#pragma once

#include <memory>

class ZoHostLock;

class ZoFileLock {
public:
    enum LockType { SHARED = 0, EXCLUSIVE = 1 };
    explicit ZoFileLock(bool flag = false);
    ~ZoFileLock();
    ZoFileLock(const ZoFileLock&) = delete;
    ZoFileLock& operator=(const ZoFileLock&) = delete;

    // Takes the lock on path, creating the file when missing; waits while
    // another process (or another ZoFileLock) holds it. Returns 0 when the
    // lock is held, non-zero when it cannot be taken. type and wait are
    // unused (1, -1).
    int lock(const char* path, LockType type, int wait);
    // Releases the lock (also done by the destructor).
    void unlock();

private:
    std::unique_ptr<ZoHostLock> m_lock;
};
