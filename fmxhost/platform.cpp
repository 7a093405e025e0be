#include "fmxhost/platform.h"

#if defined(_WIN32)

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <stdio.h>

namespace fmxhost {

namespace {

std::wstring wide(const std::string& utf8) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string narrow(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

std::string systemMessage(DWORD code) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = text != nullptr ? narrow(text) : "error " + std::to_string(code);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    return message;
}

} // namespace

// The full path lets the module's own DLLs be found beside it, as the host finds them.
void* openModule(const std::string& path, std::string& error) {
    wchar_t full[MAX_PATH * 4];
    const DWORD n = GetFullPathNameW(wide(path).c_str(), MAX_PATH * 4, full, nullptr);
    HMODULE module = n > 0 && n < MAX_PATH * 4
                         ? LoadLibraryExW(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)
                         : nullptr;
    if (module == nullptr) {
        error = systemMessage(GetLastError());
    }
    return reinterpret_cast<void*>(module);
}

void* findSymbol(void* module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void closeModule(void* module) {
    FreeLibrary(static_cast<HMODULE>(module));
}

std::vector<std::string> utf8Arguments(int, char**) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        out.push_back(narrow(arguments[i]));
    }
    LocalFree(arguments);
    return out;
}

void binaryStandardOutput() {
    _setmode(_fileno(stdout), _O_BINARY);
}

} // namespace fmxhost

#else

#include <dlfcn.h>

namespace fmxhost {

// A name without a slash would be searched for on the library path, not in the current
// folder.
void* openModule(const std::string& path, std::string& error) {
    const std::string name = path.find('/') == std::string::npos ? "./" + path : path;
    void* module = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        error = dlerror();
        if (error.rfind(name + ": ", 0) == 0) {
            error.erase(0, name.size() + 2); // the caller names the file itself
        }
    }
    return module;
}

void* findSymbol(void* module, const char* name) {
    return dlsym(module, name);
}

void closeModule(void* module) {
    dlclose(module);
}

std::vector<std::string> utf8Arguments(int argc, char** argv) {
    return {argv, argv + argc};
}

void binaryStandardOutput() {}

} // namespace fmxhost

#endif
