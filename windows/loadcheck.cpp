// Loads the plug-in the way FileMaker does, in a process without FMWrapper.dll, to show that
// the host's SDK library is bound at the first SDK call and not when the plug-in is loaded.
//
//   loadcheck PLUGIN
//
// Loads PLUGIN, finds FMExternCallProc and sends Idle (which needs no SDK call), then GetString
// and Init: the first of them to call the SDK must fail to find FMWrapper.dll. Prints each
// step; exits 0 only when that failure came, and came from the delay-load of FMWrapper.dll.
#include "FMWrapper/FMXExtern.h"

#include <windows.h>

#include <delayimp.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>

namespace {

// The exception that a delay-loaded call raises when its DLL cannot be loaded.
constexpr DWORD kModuleNotFound = VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND);

LONG CALLBACK onException(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (record->ExceptionCode != kModuleNotFound) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const auto* info = reinterpret_cast<const DelayLoadInfo*>(record->ExceptionInformation[0]);
    std::printf("the first SDK call, %s, found no %s\n",
                info->dlp.fImportByName ? info->dlp.szProcName : "(by ordinal)", info->szDll);
    std::fflush(stdout);
    ExitProcess(0);
}

FMX_ExternCallStruct message(fmx::uchar which) {
    FMX_ExternCallStruct block;
    std::memset(&block, 0, sizeof block);
    block.extnVersion = kCurrentExtnVersion;
    block.unusedID = -1;
    block.whichCall = which;
    return block;
}

} // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY); // line ends as written, as on the other systems
    if (argc != 2) {
        std::fprintf(stderr, "usage: loadcheck PLUGIN\n");
        return 2;
    }
    if (GetModuleHandleA("FMWrapper.dll") != nullptr) {
        std::printf("FMWrapper.dll is already loaded: nothing to show\n");
        return 1;
    }
    HMODULE plugin = LoadLibraryA(argv[1]);
    if (plugin == nullptr) {
        std::printf("LoadLibrary failed with error %lu\n", GetLastError());
        return 1;
    }
    std::printf("loaded without FMWrapper.dll\n");
    auto entry = reinterpret_cast<FMX_ExternCallProc>(
        reinterpret_cast<void*>(GetProcAddress(plugin, "FMExternCallProc")));
    if (entry == nullptr) {
        std::printf("no FMExternCallProc\n");
        return 1;
    }

    FMX_ExternCallStruct idle = message(kFMXT_Idle);
    entry(&idle);
    std::printf("Idle: answered\n");

    AddVectoredExceptionHandler(1, onException);
    fmx::unichar16 name[32] = {};
    FMX_ExternCallStruct getString = message(kFMXT_GetString);
    getString.parm1 = kFMXT_NameStr;
    getString.parm3 = sizeof name / sizeof name[0];
    getString.result = reinterpret_cast<fmx::ptrtype>(name);
    std::printf("GetString %d: ", kFMXT_NameStr);
    std::fflush(stdout);
    entry(&getString);
    for (const fmx::unichar16* c = name; *c != 0; ++c) {
        std::printf("%c", *c < 0x80 ? static_cast<char>(*c) : '?');
    }
    std::printf("\nInit: ");
    std::fflush(stdout);
    FMX_ExternCallStruct init = message(kFMXT_Init);
    entry(&init);
    std::printf("replied %lld without FMWrapper.dll\n", static_cast<long long>(init.result));
    return 1;
}
