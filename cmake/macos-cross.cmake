# Cross-builds the macOS programs on Linux as Mach-O executables of one architecture (arm64 unless
# CMAKE_OSX_ARCHITECTURES names x86_64), to prove on every change that the macOS build compiles and
# links: Debian's clang-19 and ld64.lld against a macOS SDK laid out by the macos-sdk tool
# (QOR_MACOS_SYSROOT). scripts/macos-cross-check.sh builds both architectures and joins the
# capture's slices with llvm-lipo. Only a check: nothing it builds is shipped.
#
#   QOR_MACOS_SYSROOT=/path/to/MacOSX.sdk cmake --preset macos-cross         (or macos-cross-x86_64)
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 21.0)  # macOS 12, the deployment target
set(CMAKE_OSX_ARCHITECTURES arm64 CACHE STRING "")
set(CMAKE_OSX_DEPLOYMENT_TARGET 12.0 CACHE STRING "")
# One architecture a build: Debian's clang cannot join slices itself (a Mac's clang runs lipo).
if(NOT CMAKE_OSX_ARCHITECTURES MATCHES "^(arm64|x86_64)$")
  message(FATAL_ERROR "macos-cross: CMAKE_OSX_ARCHITECTURES must be arm64 or x86_64, one per build")
endif()
set(CMAKE_SYSTEM_PROCESSOR ${CMAKE_OSX_ARCHITECTURES})

if(NOT DEFINED ENV{QOR_MACOS_SYSROOT} OR NOT IS_DIRECTORY "$ENV{QOR_MACOS_SYSROOT}")
  message(FATAL_ERROR "macos-cross: set QOR_MACOS_SYSROOT to a linkable macOS SDK folder")
endif()
set(CMAKE_OSX_SYSROOT "$ENV{QOR_MACOS_SYSROOT}" CACHE PATH "")

set(CMAKE_C_COMPILER clang-19)
set(CMAKE_CXX_COMPILER clang++-19)
set(CMAKE_C_COMPILER_TARGET ${CMAKE_OSX_ARCHITECTURES}-apple-macos${CMAKE_OSX_DEPLOYMENT_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${CMAKE_OSX_ARCHITECTURES}-apple-macos${CMAKE_OSX_DEPLOYMENT_TARGET})
# ld64.lld reads the SDK's .tbd stubs, so every Apple symbol must resolve against them.
find_program(QOR_LD64_LLD NAMES ld64.lld-19 ld64.lld REQUIRED)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld --ld-path=${QOR_LD64_LLD}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld --ld-path=${QOR_LD64_LLD}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-fuse-ld=lld --ld-path=${QOR_LD64_LLD}")
# No xcrun, no codesign, no install_name_tool here.
set(CMAKE_INSTALL_NAME_TOOL "" CACHE FILEPATH "")

# Nothing from the host is found by search: the few header-only host dependencies are wired in
# one place (cmake/MacOSCrossDependencies.cmake), so no other host header reaches the compile.
set(CMAKE_FIND_ROOT_PATH "${CMAKE_OSX_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(QOR_MACOS_CROSS ON CACHE BOOL "Cross-building the macOS programs on Linux (link check only)")
