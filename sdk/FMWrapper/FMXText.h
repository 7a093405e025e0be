// Host texts, held by the host as UTF-16, and the owner of one.
#pragma once

#include "FMWrapper/FMXClient.h"

#include <memory>

namespace fmx {

// Created and freed by the host only.
class Text {
  public:
    enum Encoding { kEncoding_Native = 0, kEncoding_UTF8 = 1 };
    enum { kSize_End = 0xFFFFFFFF };

    void Assign(const char* s, Encoding encoding = kEncoding_Native);
    uint32 GetSize() const; // in UTF-16 units
    // Copies `size` units from `position`; writes no terminator.
    void GetUnicode(uint16* s, uint32 position, uint32 size) const;
    // Returns the number of bytes written.
    uint32 GetBytesEx(char* buffer, uint32 buffersize, uint32 position = 0, uint32 size = kSize_End,
                      Encoding encoding = kEncoding_UTF8) const;

    void operator delete(void* obj);

  private:
    Text();
    Text(const Text&);
};

// Sole owner of one Text made by the host; stores it before checking the error block.
class TextUniquePtr : public std::unique_ptr<Text> {
  public:
    TextUniquePtr();
};

} // namespace fmx

extern "C" {
FMX_API fmx::Text* FM_Text_Constructor1(fmx::_fmxcpt& _x) noexcept;
FMX_API void FM_Text_Delete(void* _self, fmx::_fmxcpt& _x) noexcept;
FMX_API void FM_Text_Assign(void* _self, const char* s, fmx::int32 encoding,
                            fmx::_fmxcpt& _x) noexcept;
FMX_API fmx::uint32 FM_Text_GetSize(const void* _self, fmx::_fmxcpt& _x) noexcept;
FMX_API void FM_Text_GetUnicode(const void* _self, fmx::uint16* s, fmx::uint32 position,
                                fmx::uint32 size, fmx::_fmxcpt& _x) noexcept;
FMX_API fmx::uint32 FM_Text_GetBytesEx(const void* _self, char* buffer, fmx::uint32 buffersize,
                                       fmx::uint32 position, fmx::uint32 size, fmx::int32 encoding,
                                       fmx::_fmxcpt& _x) noexcept;
}

inline void fmx::Text::Assign(const char* s, Encoding encoding) {
    _fmxcpt _x;
    FM_Text_Assign(this, s, encoding, _x);
    _x.Check();
}

inline fmx::uint32 fmx::Text::GetSize() const {
    _fmxcpt _x;
    const uint32 size = FM_Text_GetSize(this, _x);
    _x.Check();
    return size;
}

inline void fmx::Text::GetUnicode(uint16* s, uint32 position, uint32 size) const {
    _fmxcpt _x;
    FM_Text_GetUnicode(this, s, position, size, _x);
    _x.Check();
}

inline fmx::uint32 fmx::Text::GetBytesEx(char* buffer, uint32 buffersize, uint32 position,
                                         uint32 size, Encoding encoding) const {
    _fmxcpt _x;
    const uint32 written =
        FM_Text_GetBytesEx(this, buffer, buffersize, position, size, encoding, _x);
    _x.Check();
    return written;
}

// A deallocation function cannot report a failure, so the host's answer is not examined.
inline void fmx::Text::operator delete(void* obj) {
    _fmxcpt _x;
    FM_Text_Delete(obj, _x);
}

inline fmx::TextUniquePtr::TextUniquePtr() {
    _fmxcpt _x;
    reset(FM_Text_Constructor1(_x));
    _x.Check();
}
