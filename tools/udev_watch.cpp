// SPDX-License-Identifier: LGPL-2.1-or-later
#include "udev_watch.h"

#include "ZoForwardingHost.h"

#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

namespace zodisk {

namespace {

using Clock = WaitNotice::Clock;

// What is being waited for, shared by the watching host and the watchdog.
struct WaitState {
    std::mutex mutex;
    std::condition_variable wake;
    std::string activity;
    WaitNotice notice;
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
        state().notice.begin(what, state().activity, Clock::now());
    }
    ~Waiting() {
        std::lock_guard<std::mutex> lock(state().mutex);
        state().notice.end(Clock::now());
    }
};

bool isSettle(const std::string& command) {
    return command.find("udevadm settle") != std::string::npos ||
           command.find("udevsettle") != std::string::npos;
}

// Notes the settles and sleeps of the host it wraps. The library sleeps
// in place of a settle that failed, and between its polls of multipathd.
class WatchingHost final : public ZoForwardingHost {
public:
    using ZoForwardingHost::ZoForwardingHost;

    ZoCommandResult run(const std::string& command) override {
        m_sleepFor = command.rfind("multipathd", 0) == 0 ? "multipathd to reconfigure"
                                                         : "udev to settle";
        if (!isSettle(command))
            return ZoForwardingHost::run(command);
        Waiting w("udev to settle");
        return ZoForwardingHost::run(command);
    }
    void sleepMs(unsigned long ms) override {
        Waiting w(m_sleepFor);
        ZoForwardingHost::sleepMs(ms);
    }

private:
    const char* m_sleepFor = "udev to settle";
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
        while (!s.stop) {
            s.wake.wait_for(lock, std::chrono::milliseconds(250));
            std::string line = s.stop ? "" : s.notice.due(Clock::now());
            if (!line.empty()) {
                std::fputs(line.c_str(), stderr);
                std::fflush(stderr);
            }
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
    // The state outlives the watchdog that uses it (statics end in reverse).
    state();
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
