// SPDX-License-Identifier: LGPL-2.1-or-later
// ZoResult<T>: what an operation of the library's own API returns when it
// makes a value: either the value or the CLuError that kept it from being
// made. The operations the device model specifies keep their own forms
// (CLuError* out-parameters, empty handles).
//
//     ZoResult<ZoHostInventory> inv = ZoHostInventory::read();
//     if (!inv) { /* inv.error().AsString() says why */ }
//     for (const ZoBlockDevice& d : inv->devices()) ...
//
// A result is a value: copyable and movable when T is. Not synchronised.
#pragma once

#include "CLuError.h"

#include <optional>
#include <utility>

template <class T>
class ZoResult {
public:
    // A result holding value.
    ZoResult(T value) : m_value(std::move(value)) {}
    // A result holding error, which must be an error (IsError() true).
    ZoResult(CLuError error) : m_error(std::move(error)) {}

    // True iff the result holds a value.
    bool ok() const { return m_value.has_value(); }
    explicit operator bool() const { return ok(); }

    // The value. Throws std::bad_optional_access when the result holds an
    // error.
    T& value() & { return m_value.value(); }
    const T& value() const& { return m_value.value(); }
    T&& value() && { return std::move(m_value).value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    // The error; success when the result holds a value.
    const CLuError& error() const { return m_error; }

private:
    std::optional<T> m_value;
    CLuError m_error;
};
