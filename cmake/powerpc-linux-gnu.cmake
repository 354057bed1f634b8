# Cross build for the board's data model: 32-bit big-endian PowerPC with
# Debian's cross compiler (g++-powerpc-linux-gnu). The programs run on this
# host through QEMU's user-mode emulator: ctest prepends it to the unit
# programs and passes it to the system and interop tests (TARN_EMULATOR).
#
#   cmake -S . -B build-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake \
#         -DCMAKE_PREFIX_PATH=<prefix holding zlib and GoogleTest built for PowerPC>
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(TARN_TARGET_TRIPLE powerpc-linux-gnu)
set(TARN_TARGET_SYSROOT /usr/${TARN_TARGET_TRIPLE})
set(CMAKE_C_COMPILER ${TARN_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TARN_TARGET_TRIPLE}-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L ${TARN_TARGET_SYSROOT})

# Libraries and headers come from the cross sysroot and from the prefixes the
# build names (CMAKE_PREFIX_PATH); programs from the host.
list(APPEND CMAKE_FIND_ROOT_PATH ${TARN_TARGET_SYSROOT} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
