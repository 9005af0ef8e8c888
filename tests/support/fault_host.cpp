// SPDX-License-Identifier: LGPL-2.1-or-later
#include "fault_host.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>

namespace zotest {

struct FaultHost::State {
    struct Rule { std::string op, subject; int nth, err; };  // subject "": any; nth 0: every call
    std::mutex mutex;
    std::vector<Rule> rules;
    std::map<std::string, std::vector<std::function<void()>>> hooks;
    std::map<std::string, int> counts;
    std::vector<std::string> commands;

    template <class F> auto locked(F f) {
        std::lock_guard<std::mutex> g(mutex);
        return f();
    }
    // Records a call and forwards it unless a rule fails it; then runs the op's
    // hooks (outside the lock: they may use the host).
    int call(const std::string& op, const std::string& subject, const std::function<int()>& forward) {
        std::vector<std::function<void()>> hooksToRun;
        int injected = locked([&] {
            const int n = ++counts[op];
            auto rule = std::find_if(rules.begin(), rules.end(), [&](const Rule& r) {
                return r.op == op && (r.subject.empty() || r.subject == subject) && (r.nth == 0 || r.nth == n);
            });
            if (rule != rules.end()) return rule->err;
            hooksToRun = hooks[op];
            return 0;
        });
        if (injected) return errno = injected;
        const int rc = forward(), saved = errno;
        for (auto& hook : hooksToRun) hook();
        errno = saved;
        return rc;
    }
};

namespace {

class FaultFile final : public ZoWritableFile {
public:
    FaultFile(std::unique_ptr<ZoWritableFile> inner, std::string path, std::shared_ptr<FaultHost::State> state)
        : m_inner(std::move(inner)), m_path(std::move(path)), m_state(std::move(state)) {}
    int append(const char* data, size_t len) override {
        return m_state->call("append", m_path, [&] { return m_inner->append(data, len); });
    }
    int sync() override { return m_state->call("sync", m_path, [&] { return m_inner->sync(); }); }
    int close() override { return m_state->call("close", m_path, [&] { return m_inner->close(); }); }

private:
    std::unique_ptr<ZoWritableFile> m_inner;
    std::string m_path;
    std::shared_ptr<FaultHost::State> m_state;
};

}  // namespace

FaultHost::FaultHost(std::shared_ptr<ZoHost> inner) : ZoForwardingHost(std::move(inner)), m_state(std::make_shared<State>()) {}

void FaultHost::addRule(const std::string& op, const std::string& subject, int nth, int err) {
    m_state->locked([&] { m_state->rules.push_back({op, subject, nth, err}); });
}
void FaultHost::clearFailures() { m_state->locked([&] { m_state->rules.clear(); }); }
void FaultHost::after(const std::string& op, std::function<void()> hook) {
    m_state->locked([&] { m_state->hooks[op].push_back(std::move(hook)); });
}
int FaultHost::count(const std::string& op) const { return m_state->locked([&] { return m_state->counts[op]; }); }
std::vector<std::string> FaultHost::commands() const { return m_state->locked([&] { return m_state->commands; }); }

int FaultHost::call(const char* op, const std::string& subject, const std::function<int()>& forward) {
    return m_state->call(op, subject, forward);
}

int FaultHost::openForWrite(const std::string& path, mode_t mode, std::unique_ptr<ZoWritableFile>* file) {
    return call("openForWrite", path, [&] {
        std::unique_ptr<ZoWritableFile> inner;
        const int rc = target().openForWrite(path, mode, &inner);
        if (rc == 0) file->reset(new FaultFile(std::move(inner), path, m_state));
        return rc;
    });
}

int FaultHost::rereadPartitions(const std::string& node) {
    return call("rereadPartitions", node, [&] { return target().rereadPartitions(node); }) ? -1 : 0;
}

int FaultHost::readPartitionTable(const std::string& node, std::vector<ZoHostPartition>* parts) {
    return call("readPartitionTable", node, [&] { return target().readPartitionTable(node, parts); }) ? -1 : 0;
}

ZoCommandResult FaultHost::run(const std::string& command) {
    m_state->locked([&] { m_state->commands.push_back(command); });
    ZoCommandResult result;
    if (const int injected = call("run", command, [&] { return result = target().run(command), 0; })) {
        result = ZoCommandResult();
        result.started = injected > 0;
        result.exitStatus = injected > 0 ? injected : -1;
        result.err = "injected failure\n";
    }
    return result;
}

void FaultHost::sleepMs(unsigned long ms) {
    call("sleepMs", std::to_string(ms), [&] { return target().sleepMs(ms), 0; });
}

time_t FaultHost::now() {
    time_t t = 0;
    call("now", "", [&] { return t = target().now(), 0; });
    return t;
}

}  // namespace zotest
