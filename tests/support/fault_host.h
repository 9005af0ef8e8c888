// SPDX-License-Identifier: LGPL-2.1-or-later
// A host that wraps another one, records every operation and injects
// failures into chosen calls, so reliability tests can prove that a failing
// disk, file system or command loses nothing.
//
// Operation names are the ZoHost member names plus "append", "sync" and
// "close" for files opened with openForWrite (listLinks is answered through
// listDir and readlink). The subject of an operation is
// its path (rename: the source; symlink: the link), the node, "MAJ:MIN"
// (deviceMapperState) or the command line. An injected failure returns the
// rule's errno value the way the operation reports failures (rereadPartitions:
// -1 with errno set; readPartitionTable: -1); for "run" it is the command's
// exit status, and a negative value means the shell could not be started.
// Thread-safe.
#pragma once

#include "ZoForwardingHost.h"
#include "ZoInternal.h"
#include "host_tree.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zotest {

class FaultHost : public ZoForwardingHost {
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

    // Each operation is counted and checked against the rules, then
    // forwarded.
    int stat(const std::string& p, struct stat* st) override { return call("stat", p, [&] { return ZoForwardingHost::stat(p, st); }); }
    int lstat(const std::string& p, struct stat* st) override { return call("lstat", p, [&] { return ZoForwardingHost::lstat(p, st); }); }
    int readlink(const std::string& p, std::string* target) override {
        return call("readlink", p, [&] { return ZoForwardingHost::readlink(p, target); });
    }
    int access(const std::string& p, int mode) override { return call("access", p, [&] { return ZoForwardingHost::access(p, mode); }); }
    int listDir(const std::string& p, std::vector<std::string>* names) override {
        return call("listDir", p, [&] { return ZoForwardingHost::listDir(p, names); });
    }
    // Through this host's listDir and readlink, so that their rules apply.
    int listLinks(const std::string& dir, std::vector<std::pair<std::string, std::string>>* links) override {
        return ZoHost::listLinks(dir, links);
    }
    using ZoHost::readFile;
    int readFile(const std::string& p, std::string* contents, size_t max) override {
        return call("readFile", p, [&] { return ZoForwardingHost::readFile(p, contents, max); });
    }
    int probeOpen(const std::string& p, int flags) override { return call("probeOpen", p, [&] { return ZoForwardingHost::probeOpen(p, flags); }); }
    int rename(const std::string& from, const std::string& to) override {
        return call("rename", from, [&] { return ZoForwardingHost::rename(from, to); });
    }
    int chmod(const std::string& p, mode_t mode) override { return call("chmod", p, [&] { return ZoForwardingHost::chmod(p, mode); }); }
    int chown(const std::string& p, uid_t uid, gid_t gid) override {
        return call("chown", p, [&] { return ZoForwardingHost::chown(p, uid, gid); });
    }
    int unlink(const std::string& p) override { return call("unlink", p, [&] { return ZoForwardingHost::unlink(p); }); }
    int mkdir(const std::string& p, mode_t mode) override { return call("mkdir", p, [&] { return ZoForwardingHost::mkdir(p, mode); }); }
    int symlink(const std::string& target, const std::string& link) override {
        return call("symlink", link, [&] { return ZoForwardingHost::symlink(target, link); });
    }
    int syncDir(const std::string& p) override { return call("syncDir", p, [&] { return ZoForwardingHost::syncDir(p); }); }
    int listXattrs(const std::string& p, std::vector<std::pair<std::string, std::string>>* a) override {
        return call("listXattrs", p, [&] { return ZoForwardingHost::listXattrs(p, a); });
    }
    int setXattr(const std::string& p, const std::string& n, const std::string& v) override {
        return call("setXattr", p, [&] { return ZoForwardingHost::setXattr(p, n, v); });
    }
    int scsiCommand(const std::string& node, const ZoScsiCommand& c, ZoScsiStatus* st) override {
        return call("scsiCommand", node, [&] { return ZoForwardingHost::scsiCommand(node, c, st); });
    }
    int readDisk(const std::string& node, uint64_t at, size_t n, std::string* data, uint64_t* size) override {
        return call("readDisk", node, [&] { return ZoForwardingHost::readDisk(node, at, n, data, size); });
    }
    int deviceMapperState(unsigned major, unsigned minor, ZoDmState* state) override {
        return call("deviceMapperState", std::to_string(major) + ":" + std::to_string(minor),
                    [&] { return ZoForwardingHost::deviceMapperState(major, minor, state); });
    }
    int askMultipathd(const std::string& request, std::string* reply, unsigned ms) override {
        return call("askMultipathd", request, [&] { return ZoForwardingHost::askMultipathd(request, reply, ms); });
    }
    int lockFile(const std::string& p, std::unique_ptr<ZoHostLock>* lock) override {
        return call("lockFile", p, [&] { return ZoForwardingHost::lockFile(p, lock); });
    }
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
