// SPDX-License-Identifier: LGPL-2.1-or-later
#include "output.h"

#include <fcntl.h>
#include <langinfo.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstring>

#include <algorithm>
#include <iostream>

namespace zodisk {

Output::Output() : m_out(stdout), m_owned(false) {}

Output::~Output() {
    if (m_out) {
        std::fflush(m_out);
        if (m_owned)
            std::fclose(m_out);
    }
}

namespace {

bool writeFailed(int err) {
    Output::error(std::string("write error: ") + std::strerror(err));
    return false;
}

}  // namespace

bool Output::close() {
    if (!m_out)
        return m_writeError == 0 || writeFailed(m_writeError);
    int err = m_writeError;
    errno = 0;
    if (std::fflush(m_out) != 0 && !err)
        err = errno ? errno : EIO;
    if (std::ferror(m_out) && !err)
        err = EIO;
    // Closing a duplicate of the descriptor checks what the file system
    // reports at close, as it would for descriptor 1 itself.
    if ((m_owned ? std::fclose(m_out) : 0) != 0 && !err)
        err = errno ? errno : EIO;
    m_out = nullptr;
    m_writeError = err;
    return err == 0 || writeFailed(err);
}

bool writeStdout(const std::string& text) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0)
        return true;
    return writeFailed(errno ? errno : EIO);
}

bool Output::takeOverStdout() {
    std::fflush(stdout);
    std::cout.flush();
    int copy = ::dup(STDOUT_FILENO);
    if (copy < 0)
        return false;
    ::fcntl(copy, F_SETFD, FD_CLOEXEC);
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    FILE* out = ::fdopen(copy, "w");
    if (null < 0 || !out || ::dup2(null, STDOUT_FILENO) < 0) {
        if (out)
            std::fclose(out);
        else
            ::close(copy);
        if (null >= 0)
            ::close(null);
        return false;
    }
    ::close(null);
    m_out = out;
    m_owned = true;
    return true;
}

void Output::text(const std::string& s) {
    if (!m_out || m_writeError)
        return;
    errno = 0;
    if (std::fwrite(s.data(), 1, s.size(), m_out) != s.size() || std::fflush(m_out) != 0)
        m_writeError = errno ? errno : EIO;
}

void Output::json(const Json& doc) {
    text(doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n");
}

void Output::error(const std::string& message) {
    std::string line = "zodisk: " + message;
    std::replace(line.begin(), line.end(), '\n', ' ');
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    line += "\n";
    std::fflush(stderr);
    std::fwrite(line.data(), 1, line.size(), stderr);
}

bool localeIsUtf8() {
    static const bool utf8 = [] {
        std::setlocale(LC_CTYPE, "");
        return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    }();
    return utf8;
}

size_t displayWidth(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80)
            ++n;
    return n;
}

std::string Table::render() const {
    std::vector<size_t> widths;
    for (const auto& row : m_rows) {
        if (widths.size() < row.size())
            widths.resize(row.size(), 0);
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], displayWidth(row[i]));
    }
    std::string out;
    for (const auto& row : m_rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += std::string(widths[i] - displayWidth(row[i]) + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out += line + "\n";
    }
    return out;
}

}  // namespace zodisk
