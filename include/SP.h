// SPDX-License-Identifier: LGPL-2.1-or-later
// Intrusive reference-counted handles.
//
// SPEnabled is the base of shared objects and holds the count; the count is
// atomic, so handles to one object may be copied and released on different
// threads. The last release destroys the object through its virtual
// destructor.
#pragma once

#include "ZoExport.h"

#include <atomic>
#include <cstddef>

class ZODEVICE_API SPEnabled {
public:
    SPEnabled() : m_refs(0) {}
    SPEnabled(const SPEnabled&) : m_refs(0) {}
    SPEnabled& operator=(const SPEnabled&) { return *this; }
    virtual ~SPEnabled() = default;

    void spAddRef() const { m_refs.fetch_add(1, std::memory_order_relaxed); }
    // Returns true iff this was the last reference.
    bool spRelease() const { return m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1; }
    long spCount() const { return m_refs.load(std::memory_order_acquire); }

private:
    mutable std::atomic<long> m_refs;
};

class ZODEVICE_API SPBase {
public:
    SPBase() : m_p(nullptr) {}
    SPBase(const SPBase& other) : m_p(nullptr) { assign(other); }
    SPBase& operator=(const SPBase& other) {
        assign(other);
        return *this;
    }
    ~SPBase() { assign(static_cast<SPEnabled*>(nullptr)); }

    void assign(SPEnabled* p) {
        if (p) p->spAddRef();
        SPEnabled* old = m_p;
        m_p = p;
        if (old && old->spRelease()) delete old;
    }
    void assign(const SPBase& other) { assign(other.m_p); }
    SPEnabled* get() const { return m_p; }

private:
    SPEnabled* m_p;
};

template <class T>
class SP : public SPBase {
public:
    SP() = default;
    SP(T* p) { assign(p); }  // NOLINT: implicit on purpose, like the raw-pointer assignment
    template <class U>
    SP(const SP<U>& other) {
        assign(static_cast<T*>(other.get()));
    }
    SP& operator=(T* p) {
        assign(p);
        return *this;
    }

    T* get() const { return static_cast<T*>(SPBase::get()); }
    T* operator->() const { return get(); }
    T& operator*() const { return *get(); }
    bool operator!() const { return get() == nullptr; }
    explicit operator bool() const { return get() != nullptr; }
    bool operator==(const SP& o) const { return get() == o.get(); }
    bool operator!=(const SP& o) const { return get() != o.get(); }

private:
    void assign(T* p) { SPBase::assign(static_cast<SPEnabled*>(p)); }
};
