// Telling the person at the terminal that a command is waiting for udev.
//
// Partition discovery may wait for udev for minutes. When standard error is
// a terminal, zodisk puts a watching host in front of the live one: it notes
// when the library starts a udev settle (or the sleep that follows a failed
// one), and a watchdog thread prints, after the first second and then every
// ten seconds,
//     zodisk: waiting for udev to settle (partitions of /dev/sdb)... 12s
// The text in parentheses is the question zodisk is asking at that moment.
#pragma once

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

}  // namespace zodisk
