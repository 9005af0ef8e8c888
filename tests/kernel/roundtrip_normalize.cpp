// SPDX-License-Identifier: LGPL-2.1-or-later
// Prints zodisk's JSON (read from standard input) in the form the snapshot
// round trip compares: the device lists ("blockdevices", "devices",
// "children") sorted by "path", then "name" (an NVMe path device has no
// node: its path is null), the "slaves" and "holders" lists sorted, the
// rest unchanged. These come in the order the kernel's directories list
// them (/sys/block, slaves/, holders/): on the machine the kernel's sysfs
// order, in a captured tree the order of its names. That order cannot
// survive a capture; the set of devices and everything said of each can.
// Exits 1 when the input is not JSON.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <iostream>

namespace {

using Json = nlohmann::ordered_json;

// The text of a member, "" when it is missing or no string.
std::string textOf(const Json& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

void normalize(Json& j) {
    if (j.is_array()) {
        for (auto& e : j) normalize(e);
        return;
    }
    if (!j.is_object()) return;
    for (auto& item : j.items()) {
        normalize(item.value());
        Json& list = item.value();
        const std::string& key = item.key();
        if (!list.is_array()) continue;
        if (key == "blockdevices" || key == "devices" || key == "children")
            std::stable_sort(list.begin(), list.end(), [](const Json& a, const Json& b) {
                const std::string pa = textOf(a, "path"), pb = textOf(b, "path");
                return pa != pb ? pa < pb : textOf(a, "name") < textOf(b, "name");
            });
        else if (key == "slaves" || key == "holders")
            std::sort(list.begin(), list.end());
    }
}

}  // namespace

int main() {
    nlohmann::ordered_json doc = nlohmann::ordered_json::parse(std::cin, nullptr, false);
    if (doc.is_discarded()) {
        std::cerr << "roundtrip_normalize: the input is not JSON\n";
        return 1;
    }
    normalize(doc);
    std::cout << doc.dump(2) << "\n";
    return 0;
}
