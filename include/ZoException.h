// SPDX-License-Identifier: LGPL-2.1-or-later
// The exception that the platform services throw and the library catches.
#pragma once

#include "ZoExport.h"

#include <exception>
#include <string>

class ZODEVICE_API ZoException : public std::exception {
public:
    ZoException(const char* funcName, const char* message, const char* file, int line, int code);
    ZoException(const char* funcName, const std::string& message, const char* file, int line,
                int code);
    const char* getMessage() const { return m_message.c_str(); }
    const char* getFuncName() const { return m_funcName.c_str(); }
    const char* getFile() const { return m_file.c_str(); }
    int getLine() const { return m_line; }
    int getCode() const { return m_code; }
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_funcName;
    std::string m_message;
    std::string m_file;
    int m_line;
    int m_code;
};
