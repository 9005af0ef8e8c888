#include "udev_watch.h"

#include "forwarding_host.h"

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

// Notes settles and sleeps of the host it wraps.
class WatchingHost final : public ForwardingHost {
public:
    using ForwardingHost::ForwardingHost;

    ZoCommandResult run(const std::string& command) override {
        if (!isSettle(command))
            return ForwardingHost::run(command);
        Waiting w("udev to settle");
        return ForwardingHost::run(command);
    }
    void sleepMs(unsigned long ms) override {
        Waiting w("udev to settle");
        ForwardingHost::sleepMs(ms);
    }
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
