// Prints zodisk's JSON (read from standard input) in the form the snapshot
// round trip compares: every "children" array sorted by "path", the rest
// unchanged. A map's children come in the order its slaves/ directory lists
// them: on the machine the kernel's sysfs order, in a captured tree the
// order of the file system the tree sits on. That order cannot survive a
// capture; the set of children and everything said of each can.
// Exits 1 when the input is not JSON.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <iostream>

namespace {

void sortChildren(nlohmann::ordered_json& j) {
    if (j.is_array()) {
        for (auto& e : j) sortChildren(e);
        return;
    }
    if (!j.is_object()) return;
    for (auto& item : j.items()) sortChildren(item.value());
    auto it = j.find("children");
    if (it != j.end() && it->is_array())
        std::stable_sort(it->begin(), it->end(), [](const nlohmann::ordered_json& a, const nlohmann::ordered_json& b) {
            return a.value("path", "") < b.value("path", "");
        });
}

}  // namespace

int main() {
    nlohmann::ordered_json doc = nlohmann::ordered_json::parse(std::cin, nullptr, false);
    if (doc.is_discarded()) {
        std::cerr << "roundtrip_normalize: the input is not JSON\n";
        return 1;
    }
    sortChildren(doc);
    std::cout << doc.dump(2) << "\n";
    return 0;
}
