// SPDX-License-Identifier: LGPL-2.1-or-later
// Telling the person at the terminal that a command is waiting for udev.
//
// Partition discovery may wait for udev for minutes. When standard error is
// a terminal, zodisk puts a watching host in front of the live one: it notes
// when the library runs a udev settle and when it sleeps (after a failed
// settle, or while multipathd reconfigures), and a watchdog thread prints,
// after the first second of a wait and then every ten seconds,
//     zodisk: waiting for udev to settle (partitions of /dev/sdb)... 12s
// The text in parentheses is the question zodisk is asking at that moment.
// A host tree (--sysroot) never waits: its settles are answered from the
// tree and its sleeps are recorded, so no watch is started there.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace zodisk {

// Starts the watch on the current host when standard error is a terminal
// (does nothing otherwise, or when called again).
void startUdevWatch();

// Names what zodisk is asking while it lives ("partitions of /dev/sdb").
class Activity {
public:
    explicit Activity(const std::string& what);
    ~Activity();
    Activity(const Activity&) = delete;
    Activity& operator=(const Activity&) = delete;

private:
    std::string m_previous;
};

// When the notice is due and what it says, given the times of the waits.
// Settles and sleeps that follow each other within a second for the same
// activity count as one wait, so the seconds shown are the whole time the
// question has waited. Not thread-safe: the watch guards it.
class WaitNotice {
public:
    using Clock = std::chrono::steady_clock;

    void begin(const std::string& what, const std::string& activity, Clock::time_point now) {
        if (!m_ended || activity != m_activity || now - *m_ended > std::chrono::seconds(1)) {
            m_since = now;
            m_next = 1;
        }
        m_what = what;
        m_activity = activity;
        m_waiting = true;
    }
    void end(Clock::time_point now) {
        m_waiting = false;
        m_ended = now;
    }
    // The line to print at now, or "" when none is due.
    std::string due(Clock::time_point now) {
        long seconds = std::chrono::duration_cast<std::chrono::seconds>(now - m_since).count();
        if (!m_waiting || seconds < m_next)
            return "";
        m_next = (seconds / 10 + 1) * 10;
        return "zodisk: waiting for " + m_what +
               (m_activity.empty() ? "" : " (" + m_activity + ")") + "... " +
               std::to_string(seconds) + "s\n";
    }

private:
    std::string m_what, m_activity;
    bool m_waiting = false;
    Clock::time_point m_since;
    std::optional<Clock::time_point> m_ended;
    long m_next = 1;
};

}  // namespace zodisk
