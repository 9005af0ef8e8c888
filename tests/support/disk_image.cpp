#include "disk_image.h"

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace zotest {

std::string shellWord(const std::string& path) {
    std::string out = "'";
    for (char c : path)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string runTool(const std::string& command) {
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p)
        throw std::runtime_error("cannot run: " + command);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int status = ::pclose(p);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("command failed: " + command + "\n" + out);
    return out;
}

void makeDiskImage(const std::string& realPath, unsigned sizeMiB, const std::string& sfdiskScript) {
    const std::filesystem::path parent = std::filesystem::path(realPath).parent_path();
    if (!parent.empty())
        std::filesystem::create_directories(parent);
    {
        std::ofstream image(realPath, std::ios::binary | std::ios::trunc);
        if (!image)
            throw std::runtime_error("cannot create image " + realPath);
    }
    runTool("truncate -s " + std::to_string(sizeMiB) + "M " + shellWord(realPath));
    if (sfdiskScript.empty())
        return;
    const std::string script = realPath + ".sfdisk";
    {
        std::ofstream s(script, std::ios::trunc);
        s << sfdiskScript;
        if (!s)
            throw std::runtime_error("cannot write " + script);
    }
    runTool("sfdisk --quiet --no-reread --no-tell-kernel " + shellWord(realPath) + " < " +
            shellWord(script));
    std::remove(script.c_str());
}

}  // namespace zotest
