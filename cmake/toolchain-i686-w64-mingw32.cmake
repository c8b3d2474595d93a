# Cross build for i686 Windows with mingw-w64 (posix threads variant).
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
