// Running the built zodisk from the CLI tests.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace clitest {

struct Result {
    int status = -1;   // exit status (128 + N when signal N ended it)
    std::string out, err;
    std::string command;   // "zodisk ARG..."
};

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The command, its exit status and both streams, for failure messages.
inline std::ostream& operator<<(std::ostream& os, const Result& r) {
    return os << r.command << "\n-> exit " << r.status << "\nstdout:\n" << r.out << "\nstderr:\n"
              << r.err;
}

// Runs the built zodisk with the arguments (each one word) and collects
// both streams. The locale is C.UTF-8 unless leading NAME=value arguments
// set the environment.
inline Result zodisk(const std::vector<std::string>& args) {
    Result r{-1, "", "", "zodisk"};
    std::string line = "env LC_ALL=C.UTF-8";
    bool env = true;
    for (const std::string& a : args) {
        if (env && (a.find('=') == std::string::npos || a[0] == '-')) {
            env = false;
            line += " " ZODEVICE_BINARY_DIR "/tools/zodisk";
        }
        r.command += " " + a;
        line += " '";
        for (char c : a)
            line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        line += "'";
    }
    if (env)
        line += " " ZODEVICE_BINARY_DIR "/tools/zodisk";
    char dir[] = "/tmp/zodisk-run-XXXXXX";
    std::string d = ::mkdtemp(dir);
    int w = std::system((line + " >" + d + "/out 2>" + d + "/err </dev/null").c_str());
    r.status = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
    r.out = slurp(d + "/out");
    r.err = slurp(d + "/err");
    std::error_code ignored;
    std::filesystem::remove_all(d, ignored);
    return r;
}

}  // namespace clitest
