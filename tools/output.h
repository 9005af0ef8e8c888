// SPDX-License-Identifier: LGPL-2.1-or-later
// Where zodisk writes: its own results to standard output, errors to
// standard error, one line each.
//
// The library echoes every WWID it derives to standard output. To keep the
// tool's output clean (valid JSON in every command), Output takes over
// standard output when it starts: the tool writes to a duplicate of the
// original descriptor, and descriptor 1 is pointed at /dev/null for the rest
// of the process, so whatever the library prints there is dropped.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace zodisk {

using Json = nlohmann::ordered_json;

class Output {
public:
    Output();
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Moves the tool's output off descriptor 1 (see above). Returns false
    // (and leaves standard output as it was) when that cannot be done.
    bool takeOverStdout();

    void text(const std::string& s);
    // The JSON document, indented, followed by a newline.
    void json(const Json& doc);
    // Flushes and closes the tool's output. Returns true iff everything
    // written reached it; otherwise reports "write error: <why>" and
    // returns false. Output written after this is dropped.
    bool close();
    // "zodisk: <message>" on standard error. Newlines inside the message
    // are replaced so that each error stays one line.
    static void error(const std::string& message);

private:
    FILE* m_out;
    bool m_owned;
    int m_writeError = 0;   // errno of the first failed write or flush
};

// Writes text to standard output as it is, before Output takes it over
// (help, version). Returns true iff it all reached its place; otherwise
// reports "write error: <why>" and returns false.
bool writeStdout(const std::string& text);

// Rows of cells printed as left-aligned columns separated by two blanks
// (the last column is not padded). Widths count characters, not bytes, so
// tree-drawing glyphs line up.
class Table {
public:
    explicit Table(std::vector<std::string> header) { m_rows.push_back(std::move(header)); }
    void add(std::vector<std::string> row) { m_rows.push_back(std::move(row)); }
    std::string render() const;

private:
    std::vector<std::vector<std::string>> m_rows;
};

// True iff the locale of the environment (LC_ALL, LC_CTYPE, LANG) uses
// UTF-8. Sets the process's character locale from the environment.
bool localeIsUtf8();

// Number of characters of a UTF-8 string.
size_t displayWidth(const std::string& s);

}  // namespace zodisk
