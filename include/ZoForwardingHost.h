// SPDX-License-Identifier: LGPL-2.1-or-later
// ZoForwardingHost: a host that passes every ZoHost operation to the host it
// wraps. A host that changes a few operations (records commands, holds back
// writes, injects failures) derives from it and overrides only those; the
// rest reach the wrapped host unchanged, also operations added to ZoHost
// later.
//
// Thread safety: as the wrapped host; a subclass adds its own promise.
#pragma once

#include "ZoHost.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

class ZoForwardingHost : public ZoHost {
public:
    explicit ZoForwardingHost(std::shared_ptr<ZoHost> target) : m_target(std::move(target)) {}

    // The wrapped host.
    ZoHost& target() const { return *m_target; }

    int stat(const std::string& path, struct stat* st) override { return m_target->stat(path, st); }
    int lstat(const std::string& path, struct stat* st) override { return m_target->lstat(path, st); }
    int readlink(const std::string& path, std::string* target) override {
        return m_target->readlink(path, target);
    }
    int access(const std::string& path, int mode) override { return m_target->access(path, mode); }
    int listDir(const std::string& path, std::vector<std::string>* names) override {
        return m_target->listDir(path, names);
    }
    int listLinks(const std::string& dir,
                  std::vector<std::pair<std::string, std::string>>* links) override {
        return m_target->listLinks(dir, links);
    }
    using ZoHost::readFile;
    int readFile(const std::string& path, std::string* contents, size_t maxBytes) override {
        return m_target->readFile(path, contents, maxBytes);
    }
    int openForWrite(const std::string& path, mode_t mode,
                     std::unique_ptr<ZoWritableFile>* file) override {
        return m_target->openForWrite(path, mode, file);
    }
    int probeOpen(const std::string& path, int flags) override { return m_target->probeOpen(path, flags); }
    int rename(const std::string& from, const std::string& to) override { return m_target->rename(from, to); }
    int chmod(const std::string& path, mode_t mode) override { return m_target->chmod(path, mode); }
    int chown(const std::string& path, uid_t uid, gid_t gid) override {
        return m_target->chown(path, uid, gid);
    }
    int unlink(const std::string& path) override { return m_target->unlink(path); }
    int mkdir(const std::string& path, mode_t mode) override { return m_target->mkdir(path, mode); }
    int symlink(const std::string& target, const std::string& linkPath) override {
        return m_target->symlink(target, linkPath);
    }
    int syncDir(const std::string& path) override { return m_target->syncDir(path); }
    int listXattrs(const std::string& path,
                   std::vector<std::pair<std::string, std::string>>* attrs) override {
        return m_target->listXattrs(path, attrs);
    }
    int setXattr(const std::string& path, const std::string& name, const std::string& value) override {
        return m_target->setXattr(path, name, value);
    }

    int rereadPartitions(const std::string& node) override { return m_target->rereadPartitions(node); }
    int scsiCommand(const std::string& node, const ZoScsiCommand& cmd, ZoScsiStatus* st) override {
        return m_target->scsiCommand(node, cmd, st);
    }
    int readPartitionTable(const std::string& node, std::vector<ZoHostPartition>* parts) override {
        return m_target->readPartitionTable(node, parts);
    }
    int readDisk(const std::string& node, uint64_t offset, size_t length, std::string* data,
                 uint64_t* diskBytes) override {
        return m_target->readDisk(node, offset, length, data, diskBytes);
    }
    int deviceMapperState(unsigned major, unsigned minor, ZoDmState* state) override {
        return m_target->deviceMapperState(major, minor, state);
    }
    int askMultipathd(const std::string& request, std::string* reply, unsigned timeoutMs) override {
        return m_target->askMultipathd(request, reply, timeoutMs);
    }

    ZoCommandResult run(const std::string& command) override { return m_target->run(command); }
    int lockFile(const std::string& path, std::unique_ptr<ZoHostLock>* lock) override {
        return m_target->lockFile(path, lock);
    }
    void sleepMs(unsigned long ms) override { m_target->sleepMs(ms); }
    time_t now() override { return m_target->now(); }

private:
    std::shared_ptr<ZoHost> m_target;
};
