#include "udev_watch.h"

#include "ZoHost.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

namespace zodisk {

namespace {

using Clock = std::chrono::steady_clock;

// What is being waited for, shared by the watching host and the watchdog.
struct WaitState {
    std::mutex mutex;
    std::condition_variable wake;
    std::string activity;
    std::string waitingFor;   // empty: not waiting
    Clock::time_point since;
    bool stop = false;
};

WaitState& state() {
    static WaitState s;
    return s;
}

class Waiting {
public:
    explicit Waiting(const char* what) {
        std::lock_guard<std::mutex> lock(state().mutex);
        state().waitingFor = what;
        state().since = Clock::now();
    }
    ~Waiting() {
        std::lock_guard<std::mutex> lock(state().mutex);
        state().waitingFor.clear();
    }
};

bool isSettle(const std::string& command) {
    return command.find("udevadm settle") != std::string::npos ||
           command.find("udevsettle") != std::string::npos;
}

// Passes everything to the host it wraps; notes settles and sleeps.
class WatchingHost final : public ZoHost {
public:
    explicit WatchingHost(std::shared_ptr<ZoHost> inner) : m(std::move(inner)) {}

    int stat(const std::string& p, struct stat* st) override { return m->stat(p, st); }
    int lstat(const std::string& p, struct stat* st) override { return m->lstat(p, st); }
    int readlink(const std::string& p, std::string* t) override { return m->readlink(p, t); }
    int access(const std::string& p, int mode) override { return m->access(p, mode); }
    int listDir(const std::string& p, std::vector<std::string>* n) override {
        return m->listDir(p, n);
    }
    int readFile(const std::string& p, std::string* c) override { return m->readFile(p, c); }
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
    int rereadPartitions(const std::string& node) override { return m->rereadPartitions(node); }
    int scsiCommand(const std::string& node, const ZoScsiCommand& cmd,
                    ZoScsiStatus* st) override {
        return m->scsiCommand(node, cmd, st);
    }
    int readPartitionTable(const std::string& node,
                           std::vector<ZoHostPartition>* parts) override {
        return m->readPartitionTable(node, parts);
    }
    ZoCommandResult run(const std::string& command) override {
        if (!isSettle(command))
            return m->run(command);
        Waiting w("udev to settle");
        return m->run(command);
    }
    int lockFile(const std::string& p, std::unique_ptr<ZoHostLock>* lock) override {
        return m->lockFile(p, lock);
    }
    void sleepMs(unsigned long ms) override {
        Waiting w("udev to settle");
        m->sleepMs(ms);
    }
    time_t now() override { return m->now(); }

private:
    std::shared_ptr<ZoHost> m;
};

class Watchdog {
public:
    Watchdog() : m_thread([this] { loop(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(state().mutex);
            state().stop = true;
        }
        state().wake.notify_all();
        m_thread.join();
    }

private:
    void loop() {
        WaitState& s = state();
        std::unique_lock<std::mutex> lock(s.mutex);
        Clock::time_point reported;   // start of the wait last reported on
        long nextReport = 1;          // seconds into that wait
        while (!s.stop) {
            s.wake.wait_for(lock, std::chrono::milliseconds(250));
            if (s.stop || s.waitingFor.empty())
                continue;
            if (s.since != reported) {
                reported = s.since;
                nextReport = 1;
            }
            long seconds =
                std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - s.since).count();
            if (seconds < nextReport)
                continue;
            std::string what = s.activity.empty() ? "" : " (" + s.activity + ")";
            std::fprintf(stderr, "zodisk: waiting for %s%s... %lds\n", s.waitingFor.c_str(),
                         what.c_str(), seconds);
            std::fflush(stderr);
            nextReport = seconds < 10 ? 10 : seconds + 10;
        }
    }
    std::thread m_thread;
};

}  // namespace

void startUdevWatch() {
    static bool started = false;
    if (started || !::isatty(STDERR_FILENO))
        return;
    started = true;
    ZoHost::install(std::make_shared<WatchingHost>(ZoHost::current()));
    static Watchdog watchdog;
}

Activity::Activity(const std::string& what) {
    std::lock_guard<std::mutex> lock(state().mutex);
    m_previous = state().activity;
    state().activity = what;
}

Activity::~Activity() {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().activity = m_previous;
}

}  // namespace zodisk
