#include "fault_host.h"

#include <cerrno>
#include <map>
#include <mutex>

namespace zotest {

struct FaultHost::State {
    struct Rule {
        std::string op;
        std::string subject;  // empty: any
        int nth;              // 0: every matching call
        int err;
    };
    mutable std::mutex mutex;
    std::vector<Rule> rules;
    std::map<std::string, std::vector<std::function<void()>>> hooks;
    std::map<std::string, int> counts;
    std::vector<std::string> touched;
    std::vector<std::string> commands;
    std::vector<unsigned long> sleeps;

    // Records a call; returns the errno value to inject, or 0.
    int enter(const std::string& op, const std::string& subject) {
        std::lock_guard<std::mutex> g(mutex);
        int n = ++counts[op];
        touched.push_back(op + " " + subject);
        for (const Rule& r : rules) {
            if (r.op == op && (r.subject.empty() || r.subject == subject) && (r.nth == 0 || r.nth == n))
                return r.err;
        }
        return 0;
    }
    void leave(const std::string& op) {
        std::vector<std::function<void()>> run;
        {
            std::lock_guard<std::mutex> g(mutex);
            auto it = hooks.find(op);
            if (it != hooks.end())
                run = it->second;
        }
        for (auto& hook : run)
            hook();  // outside the lock: hooks may use the host
    }
    // Forwards a call returning an errno value, unless a rule fails it.
    template <class F>
    int call(const char* op, const std::string& subject, F forward) {
        if (int err = enter(op, subject)) {
            errno = err;
            return err;
        }
        int rc = forward();
        int saved = errno;
        leave(op);
        errno = saved;
        return rc;
    }
};

namespace {

class FaultFile final : public ZoWritableFile {
public:
    FaultFile(std::unique_ptr<ZoWritableFile> inner, std::string path,
              std::shared_ptr<FaultHost::State> state)
        : m_inner(std::move(inner)), m_path(std::move(path)), m_state(std::move(state)) {}
    int append(const char* data, size_t len) override {
        return m_state->call("append", m_path, [&] { return m_inner->append(data, len); });
    }
    int sync() override {
        return m_state->call("sync", m_path, [&] { return m_inner->sync(); });
    }
    int close() override {
        return m_state->call("close", m_path, [&] { return m_inner->close(); });
    }

private:
    std::unique_ptr<ZoWritableFile> m_inner;
    std::string m_path;
    std::shared_ptr<FaultHost::State> m_state;
};

}  // namespace

FaultHost::FaultHost(std::shared_ptr<ZoHost> inner)
    : m_inner(std::move(inner)), m_state(std::make_shared<State>()) {}

FaultHost::~FaultHost() = default;

void FaultHost::failNth(const std::string& op, int n, int err) {
    std::lock_guard<std::mutex> g(m_state->mutex);
    m_state->rules.push_back({op, "", n, err});
}
void FaultHost::failWhen(const std::string& op, const std::string& subject, int err) {
    std::lock_guard<std::mutex> g(m_state->mutex);
    m_state->rules.push_back({op, subject, 0, err});
}
void FaultHost::failAll(const std::string& op, int err) {
    std::lock_guard<std::mutex> g(m_state->mutex);
    m_state->rules.push_back({op, "", 0, err});
}
void FaultHost::clearFailures() {
    std::lock_guard<std::mutex> g(m_state->mutex);
    m_state->rules.clear();
}
void FaultHost::after(const std::string& op, std::function<void()> hook) {
    std::lock_guard<std::mutex> g(m_state->mutex);
    m_state->hooks[op].push_back(std::move(hook));
}

int FaultHost::count(const std::string& op) const {
    std::lock_guard<std::mutex> g(m_state->mutex);
    auto it = m_state->counts.find(op);
    return it == m_state->counts.end() ? 0 : it->second;
}
std::vector<std::string> FaultHost::touched() const {
    std::lock_guard<std::mutex> g(m_state->mutex);
    return m_state->touched;
}
std::vector<std::string> FaultHost::commands() const {
    std::lock_guard<std::mutex> g(m_state->mutex);
    return m_state->commands;
}
std::vector<unsigned long> FaultHost::sleeps() const {
    std::lock_guard<std::mutex> g(m_state->mutex);
    return m_state->sleeps;
}

int FaultHost::stat(const std::string& path, struct stat* st) {
    return m_state->call("stat", path, [&] { return m_inner->stat(path, st); });
}
int FaultHost::lstat(const std::string& path, struct stat* st) {
    return m_state->call("lstat", path, [&] { return m_inner->lstat(path, st); });
}
int FaultHost::readlink(const std::string& path, std::string* target) {
    return m_state->call("readlink", path, [&] { return m_inner->readlink(path, target); });
}
int FaultHost::access(const std::string& path, int mode) {
    return m_state->call("access", path, [&] { return m_inner->access(path, mode); });
}
int FaultHost::listDir(const std::string& path, std::vector<std::string>* names) {
    return m_state->call("listDir", path, [&] { return m_inner->listDir(path, names); });
}
int FaultHost::readFile(const std::string& path, std::string* contents) {
    return m_state->call("readFile", path, [&] { return m_inner->readFile(path, contents); });
}
int FaultHost::openForWrite(const std::string& path, mode_t mode,
                            std::unique_ptr<ZoWritableFile>* file) {
    return m_state->call("openForWrite", path, [&] {
        std::unique_ptr<ZoWritableFile> inner;
        int rc = m_inner->openForWrite(path, mode, &inner);
        if (rc == 0)
            file->reset(new FaultFile(std::move(inner), path, m_state));
        return rc;
    });
}
int FaultHost::probeOpen(const std::string& path, int flags) {
    return m_state->call("probeOpen", path, [&] { return m_inner->probeOpen(path, flags); });
}
int FaultHost::rename(const std::string& from, const std::string& to) {
    return m_state->call("rename", from, [&] { return m_inner->rename(from, to); });
}
int FaultHost::chmod(const std::string& path, mode_t mode) {
    return m_state->call("chmod", path, [&] { return m_inner->chmod(path, mode); });
}
int FaultHost::chown(const std::string& path, uid_t uid, gid_t gid) {
    return m_state->call("chown", path, [&] { return m_inner->chown(path, uid, gid); });
}
int FaultHost::unlink(const std::string& path) {
    return m_state->call("unlink", path, [&] { return m_inner->unlink(path); });
}
int FaultHost::mkdir(const std::string& path, mode_t mode) {
    return m_state->call("mkdir", path, [&] { return m_inner->mkdir(path, mode); });
}
int FaultHost::symlink(const std::string& target, const std::string& linkPath) {
    return m_state->call("symlink", linkPath, [&] { return m_inner->symlink(target, linkPath); });
}
int FaultHost::syncDir(const std::string& path) {
    return m_state->call("syncDir", path, [&] { return m_inner->syncDir(path); });
}
int FaultHost::rereadPartitions(const std::string& node) {
    int rc = m_state->call("rereadPartitions", node, [&] { return m_inner->rereadPartitions(node); });
    return rc == 0 ? 0 : -1;
}
int FaultHost::scsiCommand(const std::string& node, const ZoScsiCommand& cmd, ZoScsiStatus* st) {
    return m_state->call("scsiCommand", node, [&] { return m_inner->scsiCommand(node, cmd, st); });
}
int FaultHost::readPartitionTable(const std::string& node, std::vector<ZoHostPartition>* parts) {
    int rc = m_state->call("readPartitionTable", node,
                           [&] { return m_inner->readPartitionTable(node, parts); });
    return rc == 0 ? 0 : -1;
}
ZoCommandResult FaultHost::run(const std::string& command) {
    {
        std::lock_guard<std::mutex> g(m_state->mutex);
        m_state->commands.push_back(command);
    }
    ZoCommandResult result;
    int injected = m_state->call("run", command, [&] {
        result = m_inner->run(command);
        return 0;
    });
    if (injected != 0) {
        result = ZoCommandResult();
        result.started = injected > 0;
        result.exitStatus = injected > 0 ? injected : -1;
        result.err = "injected failure\n";
    }
    return result;
}
int FaultHost::lockFile(const std::string& path, std::unique_ptr<ZoHostLock>* lock) {
    return m_state->call("lockFile", path, [&] { return m_inner->lockFile(path, lock); });
}
void FaultHost::sleepMs(unsigned long ms) {
    {
        std::lock_guard<std::mutex> g(m_state->mutex);
        m_state->sleeps.push_back(ms);
    }
    m_state->call("sleepMs", std::to_string(ms), [&] {
        m_inner->sleepMs(ms);
        return 0;
    });
}
time_t FaultHost::now() {
    time_t t = 0;
    m_state->call("now", "", [&] {
        t = m_inner->now();
        return 0;
    });
    return t;
}

}  // namespace zotest
