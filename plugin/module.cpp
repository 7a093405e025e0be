#include "plugin/module.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <mutex>

namespace module {

namespace {

void Pin() {
#if defined(_WIN32)
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&KeepLoaded), &self);
#else
    // Opened again with RTLD_NODELETE, the module is never unmapped; the handle is kept, never
    // closed.
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&KeepLoaded), &self) != 0 && self.dli_fname != nullptr) {
        dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
#endif
}

} // namespace

void KeepLoaded() {
    static std::once_flag pinned;
    std::call_once(pinned, Pin);
}

} // namespace module
