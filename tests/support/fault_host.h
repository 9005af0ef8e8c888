// A host that wraps another one, records every operation and injects
// failures into chosen calls, so reliability tests can prove that a failing
// disk, file system or command loses nothing.
//
// Operation names are the ZoHost member names ("stat", "readFile",
// "rename", "run", "lockFile", ...) plus "append", "sync" and "close" for
// files opened with openForWrite (their subject is the file's path). The
// subject of an operation is its path (the first one for rename and
// symlink's link path), the node for device requests, the command line for
// run.
//
// An injected failure returns the rule's errno value the way the operation
// reports failures (rereadPartitions: -1 with errno set; readPartitionTable:
// -1). For "run" the value is the exit status the command "had", and a
// negative value means the shell could not be started.
//
// Thread safety: rules, hooks and records may be used from several threads.
#pragma once

#include "ZoHost.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zotest {

class FaultHost : public ZoHost {
public:
    explicit FaultHost(std::shared_ptr<ZoHost> inner);
    ~FaultHost() override;
    FaultHost(const FaultHost&) = delete;
    FaultHost& operator=(const FaultHost&) = delete;

    // The nth call (1-based, counting every call of op since construction)
    // fails with err.
    void failNth(const std::string& op, int n, int err);
    // Every call of op on subject fails with err.
    void failWhen(const std::string& op, const std::string& subject, int err);
    // Every call of op fails with err.
    void failAll(const std::string& op, int err);
    void clearFailures();
    // hook runs after every call of op that reached the wrapped host.
    void after(const std::string& op, std::function<void()> hook);

    // Calls of op so far (failed ones included).
    int count(const std::string& op) const;
    // Every call so far as "op subject", in order.
    std::vector<std::string> touched() const;
    std::vector<std::string> commands() const;
    std::vector<unsigned long> sleeps() const;
    ZoHost& inner() const { return *m_inner; }

    int stat(const std::string& path, struct stat* st) override;
    int lstat(const std::string& path, struct stat* st) override;
    int readlink(const std::string& path, std::string* target) override;
    int access(const std::string& path, int mode) override;
    int listDir(const std::string& path, std::vector<std::string>* names) override;
    int readFile(const std::string& path, std::string* contents) override;
    int openForWrite(const std::string& path, mode_t mode,
                     std::unique_ptr<ZoWritableFile>* file) override;
    int probeOpen(const std::string& path, int flags) override;
    int rename(const std::string& from, const std::string& to) override;
    int chmod(const std::string& path, mode_t mode) override;
    int chown(const std::string& path, uid_t uid, gid_t gid) override;
    int unlink(const std::string& path) override;
    int mkdir(const std::string& path, mode_t mode) override;
    int symlink(const std::string& target, const std::string& linkPath) override;
    int syncDir(const std::string& path) override;
    int rereadPartitions(const std::string& node) override;
    int scsiCommand(const std::string& node, const ZoScsiCommand& cmd, ZoScsiStatus* st) override;
    int readPartitionTable(const std::string& node, std::vector<ZoHostPartition>* parts) override;
    ZoCommandResult run(const std::string& command) override;
    int lockFile(const std::string& path, std::unique_ptr<ZoHostLock>* lock) override;
    void sleepMs(unsigned long ms) override;
    time_t now() override;

    struct State;  // rules and records, shared with the files handed out

private:
    std::shared_ptr<ZoHost> m_inner;
    std::shared_ptr<State> m_state;
};

}  // namespace zotest
