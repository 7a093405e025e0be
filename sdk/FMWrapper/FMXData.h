// One host data value: a function's parameter or its result.
#pragma once

#include "FMWrapper/FMXText.h"
#include "FMWrapper/FMXTypes.h"

namespace fmx {

// Owned by the host.
class Data {
  public:
    enum DataType { kDTText = 1 };

    const Locale& GetLocale() const;
    errcode SetAsText(const Text& textData, const Locale& sourceLocale,
                      const DataType nativeType = kDTText);

  private:
    Data();
    Data(const Data&);
};

} // namespace fmx

extern "C" {
FMX_API const fmx::Locale* FM_Data_GetLocale(const void* _self, fmx::_fmxcpt& _x) noexcept;
FMX_API fmx::errcode FM_Data_SetAsText(void* _self, const fmx::Text& textData,
                                       const fmx::Locale& sourceLocale, fmx::int32 nativeType,
                                       fmx::_fmxcpt& _x) noexcept;
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
