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

}  // namespace zo_udev
