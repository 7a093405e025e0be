// The error block that every call into the host carries, and its translation to exceptions.
#pragma once

#include "FMWrapper/FMXExtern.h"

#include <exception>
#include <new>

namespace fmx {

// Set to version 1 and no error before a call; the host fills in the code.
class _fmxcpt {
  public:
    enum { kNoErr = 0, kBadAlloc = 1, kUnknown = 2 };

    _fmxcpt() : m_vers(1), m_code(kNoErr) {}

    // A reported failure becomes an exception; any other code lets the caller go on.
    void Check() const {
        if (m_code == kBadAlloc) {
            throw std::bad_alloc();
        }
        if (m_code == kUnknown) {
            throw std::exception();
        }
    }

    int32 m_vers;
    int32 m_code;
};

} // namespace fmx
