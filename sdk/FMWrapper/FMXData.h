// One host data value: a function's parameter or its result.
#pragma once

#include "FMWrapper/FMXText.h"
#include "FMWrapper/FMXTypes.h"

#include <memory>

namespace fmx {

// Made and freed by the host; a plug-in may ask for one of its own through DataUniquePtr.
class Data {
  public:
    enum DataType {
        kDTInvalid = 0,
        kDTText = 1,
        kDTNumber = 2,
        kDTDate = 3,
        kDTTime = 4,
        kDTTimeStamp = 5,
        kDTBinary = 6,
        kDTBoolean = 7
    };

    bool IsEmpty() const;
    const Text& GetAsText() const;
    bool GetAsBoolean() const; // the host's reading of the value as true or false
    DataType GetNativeType() const;
    const Locale& GetLocale() const;
    errcode SetAsText(const Text& textData, const Locale& sourceLocale,
                      const DataType nativeType = kDTText);

    void operator delete(void* obj);

  private:
    Data();
    Data(const Data&);
};

// Sole owner of one Data made by the host, stored before the error block is checked.
class DataUniquePtr : public std::unique_ptr<Data> {
  public:
    DataUniquePtr();
};

} // namespace fmx

extern "C" {
FMX_API fmx::Data* FM_Data_Constructor1(fmx::_fmxcpt& _x) noexcept;
FMX_API void FM_Data_Delete(void* _self, fmx::_fmxcpt& _x) noexcept;
FMX_API bool FM_Data_IsEmpty(const void* _self, fmx::_fmxcpt& _x) noexcept;
FMX_API const fmx::Text* FM_Data_GetAsText(const void* _self, fmx::_fmxcpt& _x) noexcept;
FMX_API bool FM_Data_GetAsBoolean(const void* _self, fmx::_fmxcpt& _x) noexcept;
FMX_API fmx::int32 FM_Data_GetNativeType(const void* _self, fmx::_fmxcpt& _x) noexcept;
FMX_API const fmx::Locale* FM_Data_GetLocale(const void* _self, fmx::_fmxcpt& _x) noexcept;
FMX_API fmx::errcode FM_Data_SetAsText(void* _self, const fmx::Text& textData,
                                       const fmx::Locale& sourceLocale, fmx::int32 nativeType,
                                       fmx::_fmxcpt& _x) noexcept;
}

inline bool fmx::Data::IsEmpty() const {
    _fmxcpt _x;
    const bool empty = FM_Data_IsEmpty(this, _x);
    _x.Check();
    return empty;
}

inline const fmx::Text& fmx::Data::GetAsText() const {
    _fmxcpt _x;
    const Text* text = FM_Data_GetAsText(this, _x);
    _x.Check();
    return *text;
}

inline bool fmx::Data::GetAsBoolean() const {
    _fmxcpt _x;
    const bool value = FM_Data_GetAsBoolean(this, _x);
    _x.Check();
    return value;
}

inline fmx::Data::DataType fmx::Data::GetNativeType() const {
    _fmxcpt _x;
    const int32 type = FM_Data_GetNativeType(this, _x);
    _x.Check();
    return static_cast<DataType>(type);
}

inline const fmx::Locale& fmx::Data::GetLocale() const {
    _fmxcpt _x;
    const Locale* locale = FM_Data_GetLocale(this, _x);
    _x.Check();
    return *locale;
}

inline fmx::errcode fmx::Data::SetAsText(const Text& textData, const Locale& sourceLocale,
                                         const DataType nativeType) {
    _fmxcpt _x;
    const errcode error = FM_Data_SetAsText(this, textData, sourceLocale, nativeType, _x);
    _x.Check();
    return error;
}

// A deallocation function cannot report a failure, so the host's answer is not examined.
inline void fmx::Data::operator delete(void* obj) {
    _fmxcpt _x;
    FM_Data_Delete(obj, _x);
}

inline fmx::DataUniquePtr::DataUniquePtr() {
    _fmxcpt _x;
    reset(FM_Data_Constructor1(_x));
    _x.Check();
}
