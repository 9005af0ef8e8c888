// SPDX-License-Identifier: LGPL-2.1-or-later
// watch: follows the kernel's block device events through udev's monitor
// (device-mapper's path failures and reinstatements come as change events
// of the map with DM_ACTION set) and prints each change with the time it
// was seen, in diff's words. It sleeps in poll() between events and never
// reads a disk; SIGINT and SIGTERM end it with status 0.
#include "columns.h"
#include "output.h"
#include "watcher.h"
#include "zodisk.h"

#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <sys/time.h>

namespace zodisk {

namespace {

int g_stopPipe = -1;

void onStop(int) {
    const char byte = 0;
    [[maybe_unused]] ssize_t n = ::write(g_stopPipe, &byte, 1);
}

// The read end of a pipe written to on SIGINT and SIGTERM, or -1.
int stopSignals() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    g_stopPipe = fds[1];
    struct sigaction sa = {};
    sa.sa_handler = onStop;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    return fds[0];
}

// "2026-12-07 05:30:01" (text) or "2026-12-07T05:30:01.123+00:00" (JSON),
// local time.
std::string timestamp(bool json) {
    struct timeval tv;
    ::gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char buf[64];
    if (!json) {
        std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
        return buf;
    }
    char zone[8];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::strftime(zone, sizeof zone, "%z", &tm);   // "+0000"
    char out[96];
    std::snprintf(out, sizeof out, "%s.%03ld%.3s:%s", buf, static_cast<long>(tv.tv_usec / 1000), zone,
                  zone + 3);
    return out;
}

DeviceEvent eventOf(udev_device* dev) {
    DeviceEvent e;
    auto text = [](const char* s) { return std::string(s ? s : ""); };
    e.action = text(udev_device_get_action(dev));
    e.name = text(udev_device_get_sysname(dev));
    dev_t number = udev_device_get_devnum(dev);
    e.major = major(number);
    e.minor = minor(number);
    e.dmAction = text(udev_device_get_property_value(dev, "DM_ACTION"));
    e.dmPath = text(udev_device_get_property_value(dev, "DM_PATH"));
    return e;
}

void print(const std::vector<Change>& changes, bool json, bool utf8, Output& out) {
    std::string text;
    for (const Change& c : changes) {
        if (json) {
            Json j = {{"time", timestamp(true)}};
            j.update(changeJson(c));
            text += j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
        } else {
            text += timestamp(false) + " " + escape(c.message, Escape::Table, utf8) + "\n";
        }
    }
    if (!text.empty())
        out.text(text);
}

// The kernel's events as it sends them: a path failure is seen at once,
// not after udev's rules for the map ran (they probe the map, which takes
// seconds while a path is failing), and without udevd too.
struct Monitor {
    udev* u = nullptr;
    udev_monitor* m = nullptr;
    ~Monitor() {
        if (m)
            udev_monitor_unref(m);
        if (u)
            udev_unref(u);
    }
    bool open(std::string* why) {
        u = udev_new();
        m = u ? udev_monitor_new_from_netlink(u, "kernel") : nullptr;
        if (!m || udev_monitor_filter_add_match_subsystem_devtype(m, "block", nullptr) < 0 ||
            udev_monitor_enable_receiving(m) < 0)
            return *why = std::string("cannot listen to the kernel's device events: ") +
                          std::strerror(errno ? errno : EPERM),
                   false;
        udev_monitor_set_receive_buffer_size(m, 64 << 20);
        return true;
    }
};

std::string startNotice(const HostView& view) {
    size_t maps = 0, paths = 0, disks = 0;
    for (const auto& entry : view.units) {
        maps += entry.second.map;
        disks += !entry.second.map;
        paths += entry.second.paths.size();
    }
    return "watching " + std::to_string(maps) + (maps == 1 ? " map with " : " maps with ") +
           std::to_string(paths) + (paths == 1 ? " path" : " paths") + " and " +
           std::to_string(disks) + (disks == 1 ? " other disk" : " other disks") +
           " (SIGINT or SIGTERM ends)";
}

}  // namespace

int runWatch(const Options& opts, Output& out) {
    if (!opts.sysroot.empty()) {
        Output::error("watch needs a live host: a host tree (--sysroot) has no kernel events");
        return EXIT_FAILED;
    }
    int stop = stopSignals();
    Monitor mon;
    std::string why;
    // Listening first: nothing that happens while the host is read is lost.
    if (stop < 0 || !mon.open(&why)) {
        Output::error(why.empty() ? "watch: cannot set up its signal handling" : why);
        return EXIT_FAILED;
    }
    Watcher watcher;
    if (!watcher.start(&why)) {
        Output::error(why);
        return EXIT_FAILED;
    }
    Output::error(startNotice(watcher.view()));
    const bool utf8 = localeIsUtf8();
    struct pollfd fds[2] = {{udev_monitor_get_fd(mon.m), POLLIN, 0}, {stop, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            Output::error(std::string("watch: poll: ") + std::strerror(errno));
            return EXIT_FAILED;
        }
        if (fds[1].revents)
            return EXIT_OK;
        while (udev_device* dev = udev_monitor_receive_device(mon.m)) {
            DeviceEvent e = eventOf(dev);
            udev_device_unref(dev);
            print(watcher.handle(e), opts.json, utf8, out);
        }
    }
}

}  // namespace zodisk
