// Four-character codes, locales and the owner of a four-character code.
#pragma once

#include "FMWrapper/FMXClient.h"

#include <memory>

namespace fmx {

// Created and freed by the host only.
class QuadChar {
  public:
    void operator delete(void* obj);

  private:
    QuadChar();
    QuadChar(const QuadChar&);
};

class Locale {
  public:
    enum Type {
        kType_None = 0,
        kType_System = 1,
        kType_UnicodeRaw = 2,
        kType_UnicodeStandard = 3,
        kType_Catalog = 4
    };

    void operator delete(void* obj);

  private:
    Locale();
    Locale(const Locale&);
};

// Sole owner of one Locale made by the host, stored before the error block is checked.
class LocaleUniquePtr : public std::unique_ptr<Locale> {
  public:
    LocaleUniquePtr(Locale::Type inputType = Locale::kType_System);
};

// Sole owner of one QuadChar made by the host. The object is stored before the error block
// is checked, so an object the host made is freed even when it reports a failure.
class QuadCharUniquePtr : public std::unique_ptr<QuadChar> {
  public:
    QuadCharUniquePtr(char c0, char c1, char c2, char c3);
};

} // namespace fmx

extern "C" {
FMX_API fmx::QuadChar* FM_QuadChar_Constructor2(char c0, char c1, char c2, char c3,
                                                fmx::_fmxcpt& _x) noexcept;
FMX_API void FM_QuadChar_Delete(void* _self, fmx::_fmxcpt& _x) noexcept;
FMX_API fmx::Locale* FM_Locale_Constructor1(fmx::int32 inputType, fmx::_fmxcpt& _x) noexcept;
FMX_API void FM_Locale_Delete(void* _self, fmx::_fmxcpt& _x) noexcept;
}

// A deallocation function cannot report a failure, so the host's answer is not examined.
inline void fmx::QuadChar::operator delete(void* obj) {
    _fmxcpt _x;
    FM_QuadChar_Delete(obj, _x);
}

inline fmx::QuadCharUniquePtr::QuadCharUniquePtr(char c0, char c1, char c2, char c3) {
    _fmxcpt _x;
    reset(FM_QuadChar_Constructor2(c0, c1, c2, c3, _x));
    _x.Check();
}

inline void fmx::Locale::operator delete(void* obj) {
    _fmxcpt _x;
    FM_Locale_Delete(obj, _x);
}

inline fmx::LocaleUniquePtr::LocaleUniquePtr(Locale::Type inputType) {
    _fmxcpt _x;
    reset(FM_Locale_Constructor1(inputType, _x));
    _x.Check();
}
