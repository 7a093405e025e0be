// The plug-in entry point and the call block through which the host sends its messages.
// Our own rendering of the part of the host's SDK the plug-in uses: same names, values and
// layout, so that the plug-in builds unchanged against the SDK itself.
#pragma once

#include <cstddef>

// Compiler conventions of the host's SDK.
#if defined(_MSC_VER)
#define FMX_PACK
#define FMX_PACK_ON pack(push, 1)
#define FMX_PACK_OFF pack(pop)
#define FMX_PROC(retType) retType __stdcall
#define FMX_PROCPTR(retType, name) typedef retType(__stdcall* name)
#define FMX_ENTRYPT __declspec(dllexport)
#define FMX_API __declspec(dllimport)
#else
#define FMX_PACK __attribute__((packed))
#define FMX_PACK_ON
#define FMX_PACK_OFF
#define FMX_PROC(retType) retType
#define FMX_PROCPTR(retType, name) typedef retType(*name)
#define FMX_ENTRYPT
#define FMX_API
#endif

namespace fmx {

typedef short int16;
typedef unsigned short uint16;
typedef unsigned char uchar;
typedef int int32;
typedef unsigned int uint32;
typedef short errcode;
typedef unsigned short unichar16;

// The call block's widths follow the platform the host runs on, not the compiler: a Windows
// host lays the block out as MSVC does, also for a plug-in built with MinGW, whose long is
// 32 bits wide.
#if defined(_WIN32)
typedef long long int64;
typedef unsigned long long uint64;
typedef int16 unusedid;
#else
typedef long int64;
typedef unsigned long uint64;
typedef int32 unusedid;
#endif
typedef uint64 ptrtype;

class Text;
class QuadChar;
class Data;
class DataVect;
class ExprEnv;

} // namespace fmx

enum {
    kBadExtnVersion = -1,
    kDoNotEnable = -2,
    k150ExtnVersion = 56,
    k160ExtnVersion = 57,
    k170ExtnVersion = 59,
    k180ExtnVersion = 60,
    k190ExtnVersion = 62,
    kCurrentExtnVersion = 77
};

// Messages, in FMX_ExternCallStruct::whichCall.
enum {
    kFMXT_Init = 0,
    kFMXT_Idle = 1,
    kFMXT_Shutdown = 4,
    kFMXT_DoAppPreferences = 5,
    kFMXT_GetString = 7,
    kFMXT_SessionShutdown = 8,
    kFMXT_FileShutdown = 9,
    kFMXT_SchemaChange = 10
};

// Strings the host asks for with kFMXT_GetString, in FMX_ExternCallStruct::parm1.
enum {
    kFMXT_NameStr = 128,
    kFMXT_AppConfigStr = 129,
    kFMXT_OptionsStr = 131,
    kFMXT_HelpURLStr = 132
};

// Idle levels, in FMX_ExternCallStruct::parm1 of kFMXT_Idle.
typedef unsigned char FMX_IdleLevel;
enum {
    kFMXT_UserIdle = 0, // no user action for 30 seconds or more
    kFMXT_UserNotIdle = 1,
    kFMXT_ScriptPaused = 2,
    kFMXT_ScriptRunning = 3,
    kFMXT_Unsafe = 4 // as unsafeCalls true
};

// What happens to a script already running when the plug-in starts one.
typedef unsigned char FMX_ScriptControl;
enum { kFMXT_Halt = 0, kFMXT_Exit = 1, kFMXT_Resume = 2, kFMXT_Pause = 3 };

// The kind of application loading the plug-in, in FMX_ExternCallStruct::parm1 of kFMXT_Init.
typedef unsigned char FMX_Application;

extern "C" {
typedef fmx::errcode FMX_ErrorCode;
typedef fmx::Text FMX_Text;
typedef fmx::Data FMX_Data;
typedef fmx::ExprEnv FMX_ExprEnv;
}

struct FMX_ExternCallStruct;
typedef FMX_ExternCallStruct* FMX_ExternCallPtr;
typedef void (*FMX_ExternCallProc)(FMX_ExternCallPtr pb);
FMX_PROCPTR(FMX_ErrorCode, FMX_StartScriptCall)
(const FMX_Text* fileName, const FMX_Text* scriptName, FMX_ScriptControl control,
 const FMX_Data* parameter);
FMX_PROCPTR(FMX_ErrorCode, FMX_CurrentEnvCall)(FMX_ExprEnv* env);

// MSVC packs through the pragma, GCC and Clang through FMX_PACK.
#if defined(_MSC_VER)
#pragma FMX_PACK_ON
#endif

struct FMX_ExternCallStruct {
    fmx::int16 extnVersion;
    fmx::unusedid unusedID;
    FMX_ExternCallProc entryPoint;
    char unusedFlag;
    fmx::uchar whichCall;
    char unsafeCalls;
    fmx::uchar parm1;   // GetString: which string
    fmx::ptrtype parm2; // GetString: Windows language id
    fmx::ptrtype parm3; // GetString: buffer capacity in UTF-16 units, terminator included
    fmx::ptrtype instanceID;
    fmx::ptrtype result; // Init: the reply; GetString: address of the host's UTF-16 buffer
    fmx::ptrtype unused;
    FMX_StartScriptCall cStartScript;
    FMX_CurrentEnvCall cCurrentEnv;
} FMX_PACK;

#if defined(_MSC_VER)
#pragma FMX_PACK_OFF
#endif

// The host reads these offsets from the bytes it passes; a mismatch would garble every
// message.
#if defined(_WIN32)
static_assert(offsetof(FMX_ExternCallStruct, unusedID) == 2, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, entryPoint) == 4, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, unusedFlag) == 12, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, whichCall) == 13, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, unsafeCalls) == 14, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, parm1) == 15, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, parm2) == 16, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, parm3) == 24, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, instanceID) == 32, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, result) == 40, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, unused) == 48, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, cStartScript) == 56, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, cCurrentEnv) == 64, "call block layout");
static_assert(sizeof(FMX_ExternCallStruct) == 72, "call block layout");
#else
static_assert(offsetof(FMX_ExternCallStruct, unusedID) == 2, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, entryPoint) == 6, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, unusedFlag) == 14, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, whichCall) == 15, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, unsafeCalls) == 16, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, parm1) == 17, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, parm2) == 18, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, parm3) == 26, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, instanceID) == 34, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, result) == 42, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, unused) == 50, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, cStartScript) == 58, "call block layout");
static_assert(offsetof(FMX_ExternCallStruct, cCurrentEnv) == 66, "call block layout");
static_assert(sizeof(FMX_ExternCallStruct) == 74, "call block layout");
#endif

extern "C" {
FMX_ENTRYPT void FMExternCallProc(FMX_ExternCallPtr pb);
extern FMX_ExternCallPtr gFMX_ExternCallPtr;
}

// Call on the host's main thread only, from an Idle message of level kFMXT_UserIdle or
// kFMXT_UserNotIdle with unsafeCalls false. The host queues the script.
#define FMX_StartScript(fileName, scriptName, control, parameter)                                  \
    (gFMX_ExternCallPtr->cStartScript)(fileName, scriptName, control, parameter)
#define FMX_SetToCurrentEnv(env) (gFMX_ExternCallPtr->cCurrentEnv)(env)
