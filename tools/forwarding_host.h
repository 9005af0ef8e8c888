// SPDX-License-Identifier: LGPL-2.1-or-later
// A host that passes every operation to the host it wraps; zodisk's own
// hosts derive from it and look at the operations they care about.
#pragma once

#include "ZoHost.h"

#include <memory>
#include <string>
#include <vector>

namespace zodisk {

class ForwardingHost : public ZoHost {
public:
    explicit ForwardingHost(std::shared_ptr<ZoHost> inner) : m(std::move(inner)) {}

    int stat(const std::string& p, struct stat* st) override { return m->stat(p, st); }
    int lstat(const std::string& p, struct stat* st) override { return m->lstat(p, st); }
    int readlink(const std::string& p, std::string* t) override { return m->readlink(p, t); }
    int access(const std::string& p, int mode) override { return m->access(p, mode); }
    int listDir(const std::string& p, std::vector<std::string>* n) override {
        return m->listDir(p, n);
    }
    int listLinks(const std::string& p,
                  std::vector<std::pair<std::string, std::string>>* l) override {
        return m->listLinks(p, l);
    }
    using ZoHost::readFile;
    int readFile(const std::string& p, std::string* c, size_t max) override {
        return m->readFile(p, c, max);
    }
    int openForWrite(const std::string& p, mode_t mode,
                     std::unique_ptr<ZoWritableFile>* f) override {
        return m->openForWrite(p, mode, f);
    }
    int probeOpen(const std::string& p, int flags) override { return m->probeOpen(p, flags); }
    int rename(const std::string& a, const std::string& b) override { return m->rename(a, b); }
    int chmod(const std::string& p, mode_t mode) override { return m->chmod(p, mode); }
    int chown(const std::string& p, uid_t u, gid_t g) override { return m->chown(p, u, g); }
    int unlink(const std::string& p) override { return m->unlink(p); }
    int mkdir(const std::string& p, mode_t mode) override { return m->mkdir(p, mode); }
    int symlink(const std::string& t, const std::string& l) override { return m->symlink(t, l); }
    int syncDir(const std::string& p) override { return m->syncDir(p); }
    int listXattrs(const std::string& p, std::vector<std::pair<std::string, std::string>>* a) override {
        return m->listXattrs(p, a);
    }
    int setXattr(const std::string& p, const std::string& n, const std::string& v) override {
        return m->setXattr(p, n, v);
    }
    int rereadPartitions(const std::string& node) override { return m->rereadPartitions(node); }
    int scsiCommand(const std::string& node, const ZoScsiCommand& cmd,
                    ZoScsiStatus* st) override {
        return m->scsiCommand(node, cmd, st);
    }
    int readPartitionTable(const std::string& node,
                           std::vector<ZoHostPartition>* parts) override {
        return m->readPartitionTable(node, parts);
    }
    int readDisk(const std::string& node, uint64_t offset, size_t length, std::string* data,
                 uint64_t* diskBytes) override {
        return m->readDisk(node, offset, length, data, diskBytes);
    }
    int deviceMapperState(unsigned major, unsigned minor, ZoDmState* state) override {
        return m->deviceMapperState(major, minor, state);
    }
    int askMultipathd(const std::string& request, std::string* reply, unsigned timeoutMs) override {
        return m->askMultipathd(request, reply, timeoutMs);
    }
    ZoCommandResult run(const std::string& command) override { return m->run(command); }
    int lockFile(const std::string& p, std::unique_ptr<ZoHostLock>* lock) override {
        return m->lockFile(p, lock);
    }
    void sleepMs(unsigned long ms) override { m->sleepMs(ms); }
    time_t now() override { return m->now(); }

private:
    std::shared_ptr<ZoHost> m;
};

}  // namespace zodisk
