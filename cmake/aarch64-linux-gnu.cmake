# Cross-compiling for arm64 boards on a Debian x86-64 machine with the
# multiarch toolchain (gcc-aarch64-linux-gnu, g++-aarch64-linux-gnu) and the
# :arm64 development packages installed beside the amd64 ones:
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# Test programs run under qemu-aarch64-static (ctest and GoogleTest's test
# discovery start it through CMAKE_CROSSCOMPILING_EMULATOR).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VEX_TRIPLE aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${VEX_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VEX_TRIPLE}-g++)

# Multiarch: the arm64 libraries and headers live in the host's own tree
# (/usr/lib/aarch64-linux-gnu, /usr/include/aarch64-linux-gnu), so no sysroot.
set(CMAKE_LIBRARY_ARCHITECTURE ${VEX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config must see the arm64 .pc files only, unless the caller points it
# elsewhere (the board's FFmpeg build, for instance).
if(NOT DEFINED ENV{PKG_CONFIG_LIBDIR})
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VEX_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
endif()

find_program(VEX_QEMU_AARCH64 qemu-aarch64-static)
if(VEX_QEMU_AARCH64)
  # The arm64 dynamic loader and libraries are installed at their usual
  # multiarch places, so qemu needs no separate library root.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VEX_QEMU_AARCH64})
endif()
