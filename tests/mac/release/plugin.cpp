// Never compiled: CMake only generates the build for it.
