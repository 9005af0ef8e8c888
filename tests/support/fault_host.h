// SPDX-License-Identifier: LGPL-2.1-or-later
// A host that wraps another one, records every operation and injects
// failures into chosen calls, so reliability tests can prove that a failing
// disk, file system or command loses nothing.
//
// Operation names are the ZoHost member names plus "append", "sync" and
// "close" for files opened with openForWrite. The subject of an operation is
// its path (rename: the source; symlink: the link), the node, "MAJ:MIN"
// (deviceMapperState) or the command line. An injected failure returns the
// rule's errno value the way the operation reports failures (rereadPartitions:
// -1 with errno set; readPartitionTable: -1); for "run" it is the command's
// exit status, and a negative value means the shell could not be started.
// Thread-safe.
#pragma once

#include "ZoHost.h"
#include "ZoInternal.h"
#include "host_tree.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zotest {

class FaultHost : public ZoHost {
public:
    explicit FaultHost(std::shared_ptr<ZoHost> inner);

    // The nth call of op (1-based, counting from construction) fails with err.
    void failNth(const std::string& op, int n, int err) { addRule(op, "", n, err); }
    // Every call of op on subject fails with err.
    void failWhen(const std::string& op, const std::string& subject, int err) { addRule(op, subject, 0, err); }
    void failAll(const std::string& op, int err) { addRule(op, "", 0, err); }
    void clearFailures();
    // hook runs after every call of op that reached the wrapped host.
    void after(const std::string& op, std::function<void()> hook);

    int count(const std::string& op) const;    // calls of op so far, failed ones included
    std::vector<std::string> commands() const;

#define ZOTEST_FORWARD(op, subject, params, args) \
    int op params override { return call(#op, subject, [&] { return m_inner->op args; }); }
    ZOTEST_FORWARD(stat, p, (const std::string& p, struct stat* st), (p, st))
    ZOTEST_FORWARD(lstat, p, (const std::string& p, struct stat* st), (p, st))
    ZOTEST_FORWARD(readlink, p, (const std::string& p, std::string* target), (p, target))
    ZOTEST_FORWARD(access, p, (const std::string& p, int mode), (p, mode))
    ZOTEST_FORWARD(listDir, p, (const std::string& p, std::vector<std::string>* names), (p, names))
    using ZoHost::readFile;
    ZOTEST_FORWARD(readFile, p, (const std::string& p, std::string* contents, size_t max), (p, contents, max))
    ZOTEST_FORWARD(probeOpen, p, (const std::string& p, int flags), (p, flags))
    ZOTEST_FORWARD(rename, from, (const std::string& from, const std::string& to), (from, to))
    ZOTEST_FORWARD(chmod, p, (const std::string& p, mode_t mode), (p, mode))
    ZOTEST_FORWARD(chown, p, (const std::string& p, uid_t uid, gid_t gid), (p, uid, gid))
    ZOTEST_FORWARD(unlink, p, (const std::string& p), (p))
    ZOTEST_FORWARD(mkdir, p, (const std::string& p, mode_t mode), (p, mode))
    ZOTEST_FORWARD(symlink, link, (const std::string& target, const std::string& link), (target, link))
    ZOTEST_FORWARD(syncDir, p, (const std::string& p), (p))
    ZOTEST_FORWARD(listXattrs, p, (const std::string& p, std::vector<std::pair<std::string, std::string>>* a), (p, a))
    ZOTEST_FORWARD(setXattr, p, (const std::string& p, const std::string& n, const std::string& v), (p, n, v))
    ZOTEST_FORWARD(scsiCommand, node, (const std::string& node, const ZoScsiCommand& c, ZoScsiStatus* st), (node, c, st))
    ZOTEST_FORWARD(readDisk, node, (const std::string& node, uint64_t at, size_t n, std::string* data, uint64_t* size),
                   (node, at, n, data, size))
    ZOTEST_FORWARD(deviceMapperState, std::to_string(major) + ":" + std::to_string(minor),
                   (unsigned major, unsigned minor, ZoDmState* state), (major, minor, state))
    ZOTEST_FORWARD(askMultipathd, request, (const std::string& request, std::string* reply, unsigned ms),
                   (request, reply, ms))
    ZOTEST_FORWARD(lockFile, p, (const std::string& p, std::unique_ptr<ZoHostLock>* lock), (p, lock))
#undef ZOTEST_FORWARD
    int openForWrite(const std::string& path, mode_t mode, std::unique_ptr<ZoWritableFile>* file) override;
    int rereadPartitions(const std::string& node) override;
    int readPartitionTable(const std::string& node, std::vector<ZoHostPartition>* parts) override;
    ZoCommandResult run(const std::string& command) override;
    void sleepMs(unsigned long ms) override;
    time_t now() override;

    struct State;  // rules and records, shared with the files handed out

private:
    void addRule(const std::string& op, const std::string& subject, int nth, int err);
    int call(const char* op, const std::string& subject, const std::function<int()>& forward);

    std::shared_ptr<ZoHost> m_inner;
    std::shared_ptr<State> m_state;
};

// Installs a tree (a HostTree or a directory) behind a FaultHost for this
// object's life, with the library's process-wide state reset at both ends.
struct FaultyInstall {
    explicit FaultyInstall(const HostTree& tree) : FaultyInstall(tree.root()) {}
    explicit FaultyInstall(const std::string& root)
        : rooted(ZoHost::makeRooted(root)),
          fault(std::make_shared<FaultHost>(rooted)),
          previous((zo_internal::resetProcessState(), ZoHost::install(fault))) {}
    ~FaultyInstall() {
        ZoHost::install(previous);
        zo_internal::resetProcessState();
    }
    FaultyInstall(const FaultyInstall&) = delete;
    FaultyInstall& operator=(const FaultyInstall&) = delete;
    ZoRootedHost& host() const { return dynamic_cast<ZoRootedHost&>(*rooted); }

    std::shared_ptr<ZoHost> rooted;
    std::shared_ptr<FaultHost> fault;
    std::shared_ptr<ZoHost> previous;
};

}  // namespace zotest
