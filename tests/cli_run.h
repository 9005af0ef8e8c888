// Running the built zodisk from the CLI tests.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
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
// both streams.
inline Result zodisk(const std::vector<std::string>& args) {
    Result r{-1, "", "", "zodisk"};
    std::string line = ZODEVICE_BINARY_DIR "/tools/zodisk";
    for (const std::string& a : args) {
        r.command += " " + a;
        line += " '";
        for (char c : a)
            line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        line += "'";
    }
    char dir[] = "/tmp/zodisk-run-XXXXXX";
    std::string d = ::mkdtemp(dir);
    int w = std::system((line + " >" + d + "/out 2>" + d + "/err </dev/null").c_str());
    r.status = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
    r.out = slurp(d + "/out");
    r.err = slurp(d + "/err");
    std::system(("rm -rf " + d).c_str());
    return r;
}

// The same as text (the command is the one that was run).
inline std::string describe(const std::vector<std::string>&, const Result& r) {
    std::ostringstream os;
    os << r;
    return os.str();
}

}  // namespace clitest
