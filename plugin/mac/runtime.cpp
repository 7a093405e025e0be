// Linked once per architecture with `zig c++`, so that Zig builds its libc++ and libc++abi for
// macOS, which the check build then links into the plug-in (cmake/TessarinMacCheck.cmake).
#include <string>

int main(int argc, char**) {
    return static_cast<int>(std::to_string(argc).size());
}
