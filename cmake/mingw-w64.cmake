# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix: the
# POSIX thread model, so std::thread and std::mutex work). Used by scripts/windows.sh:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The programs are linked with a static runtime (top-level CMakeLists.txt) and run under Wine
# (CMAKE_CROSSCOMPILING_EMULATOR), so no DLL has to be copied beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TELMORA_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TELMORA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TELMORA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TELMORA_MINGW_TRIPLE}-windres)

# Libraries and headers come from the mingw-w64 tree only: nothing of the Linux system's own.
set(CMAKE_FIND_ROOT_PATH /usr/${TELMORA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(TELMORA_WINE wine)
if(TELMORA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TELMORA_WINE})
endif()

# Debian ships GLM and nlohmann json as headers for the build machine and GoogleTest as
# sources, not for mingw. The header-only libraries are used from a folder holding only their
# own headers (never /usr/include itself, whose C library headers would shadow mingw's), and
# GoogleTest is built inside the cross build from its sources.
set(TELMORA_HEADER_ONLY_DEPS_DIR ${CMAKE_BINARY_DIR}/mingw-headers)
foreach(header_dir glm nlohmann CLI)
  if(NOT EXISTS ${TELMORA_HEADER_ONLY_DEPS_DIR}/${header_dir})
    file(MAKE_DIRECTORY ${TELMORA_HEADER_ONLY_DEPS_DIR})
    file(CREATE_LINK /usr/include/${header_dir} ${TELMORA_HEADER_ONLY_DEPS_DIR}/${header_dir}
         SYMBOLIC)
  endif()
endforeach()
set(TELMORA_GTEST_SOURCE_DIR /usr/src/googletest)

# pkg-config looks in the mingw tree only: the build machine's cairo is not for Windows.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${TELMORA_MINGW_TRIPLE}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Parts that join this build later (each builds with this same toolchain):
# - the SDK stand-in fbsdk.dll, linked by the plug-in and the host harness;
# - the plug-in TelmoraLink.dll (attaches through DllMain, reason 1); scripts/windows.sh reads
#   its export table with ${TELMORA_MINGW_TRIPLE}-objdump -p and expects LIBRARY_INIT and
#   EntryPointordeviceskeleton;
# - the host harness telmora-host.exe, without its picture (cairo) and file-export (Assimp)
#   features, which have no Debian packages for mingw.
