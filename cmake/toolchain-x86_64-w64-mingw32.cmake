# Cross build for x86_64 Windows with mingw-w64 (posix threads variant).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
