#include "ZoUdev.h"

#include "ZoHost.h"

#include <unistd.h>

namespace zo_udev {

std::string findUdevadm() {
    static const char* const kPlaces[] = {"/sbin/udevadm", "/usr/sbin/udevadm", "/bin/udevadm",
                                          "/usr/bin/udevadm"};
    std::shared_ptr<ZoHost> host = ZoHost::current();
    for (const char* place : kPlaces)
        if (host->access(place, F_OK) == 0) return place;
    return std::string();
}

bool blockProperties(unsigned major, unsigned minor, std::map<std::string, std::string>* properties) {
    std::string text;
    const std::string path = "/run/udev/data/b" + std::to_string(major) + ":" + std::to_string(minor);
    if (ZoHost::current()->readFile(path, &text, ZoHost::kAttributeBytes) != 0) return false;
    properties->clear();
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(pos, end - pos);
        const size_t eq = line.find('=');
        if (line.compare(0, 2, "E:") == 0 && eq != std::string::npos)
            (*properties)[line.substr(2, eq - 2)] = line.substr(eq + 1);
        pos = end + 1;
    }
    return true;
}

}  // namespace zo_udev
