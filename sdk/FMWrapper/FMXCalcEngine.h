// The calculation engine: parameter vectors, and registration of the plug-in's functions.
//
// As with the host's own header, FMXTypes.h, FMXText.h and FMXData.h must come first: a source
// that compiles against this one then compiles against the host's.
#pragma once

#include "FMWrapper/FMXClient.h"

namespace fmx {

class ExprEnv;

// Owned by the host; read only to a function.
class DataVect {
  public:
    uint32 Size() const;
    const Text& AtAsText(uint32 position) const; // the host's text form of any value
    const Data& At(uint32 position) const;

  private:
    DataVect();
    DataVect(const DataVect&);
};

// A registered function's handler.
FMX_PROCPTR(errcode, ExtPluginType)
(short functionId, const ExprEnv& env, const DataVect& parms, Data& result);

class ExprEnv {
  public:
    // Flags: where the function may run and be offered.
    enum {
        kMacCompatible = 0x00000002,
        kWinCompatible = 0x00000004,
        kServerCompatible = 0x00000008,
        kIOSCompatible = 0x00000010,
        kCustomWebCompatible = 0x00000020,
        kWebDirectCompatible = 0x00000040,
        kAllDeviceCompatible = kMacCompatible | kWinCompatible | kServerCompatible |
                               kIOSCompatible | kCustomWebCompatible | kWebDirectCompatible,
        kFutureCompatible = kAllDeviceCompatible | 0x00FF0000,
        kDisplayInAllDialogs = 0x0000FF00
    };

    // Codes a function or a script step returns to have its result text taken as the
    // error's detail (Get(LastErrorDetail)), the code being Get(LastError).
    enum {
        kPluginErrResult1 = 1552,
        kPluginErrResult2 = 1553,
        kPluginErrResult3 = 1554,
        kPluginErrResult4 = 1555,
        kPluginErrResult5 = 1556,
        kPluginErrResult6 = 1557,
        kPluginErrResult7 = 1558,
        kPluginErrResult8 = 1559
    };

    static errcode RegisterExternalFunctionEx(const QuadChar& pluginId, short functionId,
                                              const Text& functionName,
                                              const Text& functionPrototype,
                                              const Text& functionDescription, short minArgs,
                                              short maxArgs, uint32 compatibleOnFlags,
                                              ExtPluginType funcPtr);
    static errcode UnRegisterExternalFunction(const QuadChar& pluginId, short functionId);

    // A script step: its parameters are defined in XML (a <PluginStep> element); the handler
    // gets them by their ID and what it puts in its result goes to the step's Target.
    static errcode RegisterScriptStep(const QuadChar& pluginId, short scriptStepId,
                                      const Text& scriptStepName, const Text& scriptStepDefinition,
                                      const Text& scriptStepDescription, uint32 compatibleOnFlags,
                                      ExtPluginType funcPtr);
    static errcode UnRegisterScriptStep(const QuadChar& pluginId, short scriptStepId);

  private:
    ExprEnv();
    ExprEnv(const ExprEnv&);
};

} // namespace fmx

extern "C" {
FMX_API fmx::uint32 FM_DataVect_Size(const void* _self, fmx::_fmxcpt& _x) noexcept;
FMX_API const fmx::Text* FM_DataVect_AtAsText(const void* _self, fmx::uint32 position,
                                              fmx::_fmxcpt& _x) noexcept;
FMX_API const fmx::Data* FM_DataVect_At(const void* _self, fmx::uint32 position,
                                        fmx::_fmxcpt& _x) noexcept;
FMX_API fmx::errcode FM_ExprEnv_RegisterExternalFunctionEx(
    const fmx::QuadChar& pluginId, short functionId, const fmx::Text& functionName,
    const fmx::Text& functionPrototype, const fmx::Text& functionDescription, short minArgs,
    short maxArgs, fmx::uint32 compatibleOnFlags, fmx::ExtPluginType funcPtr,
    fmx::_fmxcpt& _x) noexcept;
FMX_API fmx::errcode FM_ExprEnv_UnRegisterExternalFunction(const fmx::QuadChar& pluginId,
                                                           short functionId,
                                                           fmx::_fmxcpt& _x) noexcept;
FMX_API fmx::errcode FM_ExprEnv_RegisterScriptStep(
    const fmx::QuadChar& pluginId, short scriptStepId, const fmx::Text& scriptStepName,
    const fmx::Text& scriptStepDefinition, const fmx::Text& scriptStepDescription,
    fmx::uint32 compatibleOnFlags, fmx::ExtPluginType funcPtr, fmx::_fmxcpt& _x);
FMX_API fmx::errcode FM_ExprEnv_UnRegisterScriptStep(const fmx::QuadChar& pluginId,
                                                     short scriptStepId, fmx::_fmxcpt& _x);
}

inline fmx::uint32 fmx::DataVect::Size() const {
    _fmxcpt _x;
    const uint32 size = FM_DataVect_Size(this, _x);
    _x.Check();
    return size;
}

inline const fmx::Text& fmx::DataVect::AtAsText(uint32 position) const {
    _fmxcpt _x;
    const Text* text = FM_DataVect_AtAsText(this, position, _x);
    _x.Check();
    return *text;
}

inline const fmx::Data& fmx::DataVect::At(uint32 position) const {
    _fmxcpt _x;
    const Data* data = FM_DataVect_At(this, position, _x);
    _x.Check();
    return *data;
}

inline fmx::errcode fmx::ExprEnv::RegisterExternalFunctionEx(
    const QuadChar& pluginId, short functionId, const Text& functionName,
    const Text& functionPrototype, const Text& functionDescription, short minArgs, short maxArgs,
    uint32 compatibleOnFlags, ExtPluginType funcPtr) {
    _fmxcpt _x;
    const errcode error = FM_ExprEnv_RegisterExternalFunctionEx(
        pluginId, functionId, functionName, functionPrototype, functionDescription, minArgs,
        maxArgs, compatibleOnFlags, funcPtr, _x);
    _x.Check();
    return error;
}

inline fmx::errcode fmx::ExprEnv::UnRegisterExternalFunction(const QuadChar& pluginId,
                                                             short functionId) {
    _fmxcpt _x;
    const errcode error = FM_ExprEnv_UnRegisterExternalFunction(pluginId, functionId, _x);
    _x.Check();
    return error;
}

inline fmx::errcode fmx::ExprEnv::RegisterScriptStep(const QuadChar& pluginId, short scriptStepId,
                                                     const Text& scriptStepName,
                                                     const Text& scriptStepDefinition,
                                                     const Text& scriptStepDescription,
                                                     uint32 compatibleOnFlags,
                                                     ExtPluginType funcPtr) {
    _fmxcpt _x;
    const errcode error =
        FM_ExprEnv_RegisterScriptStep(pluginId, scriptStepId, scriptStepName, scriptStepDefinition,
                                      scriptStepDescription, compatibleOnFlags, funcPtr, _x);
    _x.Check();
    return error;
}

inline fmx::errcode fmx::ExprEnv::UnRegisterScriptStep(const QuadChar& pluginId,
                                                       short scriptStepId) {
    _fmxcpt _x;
    const errcode error = FM_ExprEnv_UnRegisterScriptStep(pluginId, scriptStepId, _x);
    _x.Check();
    return error;
}
