# Cross build for 64-bit Windows with mingw-w64, tests run under Wine:
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#   cmake --build build-win && ctest --test-dir build-win
# The -posix compilers: GoogleTest needs std::mutex, which the win32 thread model lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAVRIK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TAVRIK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVRIK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVRIK_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${TAVRIK_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "archiver")
set(CMAKE_RANLIB ${TAVRIK_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "ranlib")

set(CMAKE_FIND_ROOT_PATH /usr/${TAVRIK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program the build runs (tests, test discovery) goes through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
