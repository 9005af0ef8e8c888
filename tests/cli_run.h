// Running the built zodisk binary from the CLI tests.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace clitest {

struct Result {
    int status = -1;   // exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
};

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs the built zodisk with the arguments (each one word), standard input
// from /dev/null, and collects both streams.
inline Result zodisk(const std::vector<std::string>& args) {
    char outName[] = "/tmp/zodisk-out-XXXXXX";
    char errName[] = "/tmp/zodisk-err-XXXXXX";
    int outFd = ::mkstemp(outName), errFd = ::mkstemp(errName);
    Result r;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        std::vector<std::string> words = {ZODEVICE_BINARY_DIR "/tools/zodisk"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    r.out = slurp(outName);
    r.err = slurp(errName);
    ::close(outFd);
    ::close(errFd);
    ::unlink(outName);
    ::unlink(errName);
    return r;
}

inline std::string describe(const std::vector<std::string>& args, const Result& r) {
    std::string s = "zodisk";
    for (const std::string& a : args)
        s += " " + a;
    return s + "\n-> exit " + std::to_string(r.status) + "\nstdout:\n" + r.out + "\nstderr:\n" +
           r.err;
}

}  // namespace clitest
