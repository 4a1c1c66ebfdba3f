# Cross toolchain for the 64-bit DLL, run and tested under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(HV_TRIPLE x86_64-w64-mingw32)
# The posix thread model: std::mutex and GoogleTest need it.
set(CMAKE_C_COMPILER ${HV_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HV_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${HV_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${HV_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
