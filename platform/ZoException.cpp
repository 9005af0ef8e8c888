// SPDX-License-Identifier: LGPL-2.1-or-later
#include "ZoException.h"

ZoException::ZoException(const char* funcName, const char* message, const char* file, int line,
                         int code)
    : m_funcName(funcName ? funcName : ""),
      m_message(message ? message : ""),
      m_file(file ? file : ""),
      m_line(line),
      m_code(code) {}

ZoException::ZoException(const char* funcName, const std::string& message, const char* file,
                         int line, int code)
    : ZoException(funcName, message.c_str(), file, line, code) {}
