# Cross build for i686 Windows with mingw-w64 (posix threads variant).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

# Libraries built by scripts/setup live in a prefix per target.
if(NOT DEFINED HIVESWEEP_DEPS)
  if(DEFINED ENV{HIVESWEEP_DEPS})
    set(HIVESWEEP_DEPS "$ENV{HIVESWEEP_DEPS}")
  else()
    set(HIVESWEEP_DEPS /opt/hivesweep-deps)
  endif()
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE} ${HIVESWEEP_DEPS}/i686)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
