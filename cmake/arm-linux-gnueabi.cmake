# Cross build for the router: 32-bit ARMv5TE (ARM926-class CPU), soft float,
# Linux, with Debian's arm-linux-gnueabi cross compiler (g++-arm-linux-gnueabi).
#
# Every executable of this build is linked statically: the device program
# because it ships as one self-contained file, the tests and tools so that
# they run under qemu-arm-static without a target library tree. The "arm"
# preset builds MinSizeRel: optimised for size and stripped at link time, so
# build/arm/upgrader/upgrader is the file the firmware team ships.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(QX_TARGET_TRIPLE arm-linux-gnueabi)
set(CMAKE_C_COMPILER ${QX_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QX_TARGET_TRIPLE}-g++)

# Libraries, headers and CMake packages come from the target tree only (the
# host's GoogleTest, for one, is x86 and must not be picked up); programs run
# during the build are host programs.
set(QX_TARGET_SYSROOT /usr/${QX_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${QX_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# arm-linux-gnueabi is the soft-float EABI; state the CPU level and the
# floating-point ABI anyway so that the binary never depends on the
# compiler's defaults.
set(QX_TARGET_CPU_FLAGS "-march=armv5te -marm -mfloat-abi=soft")

# Size: every function and datum in its own section so that the linker drops
# the unused ones; the size-optimised build type (MinSizeRel: -Os, used by the
# "arm" preset) also strips the executables at link time.
set(CMAKE_C_FLAGS_INIT "${QX_TARGET_CPU_FLAGS} -ffunction-sections -fdata-sections")
# -Wno-psabi: GCC notes that passing some std::vector iterators changed in
# GCC 7.1; everything on the device is built by this one compiler.
set(CMAKE_CXX_FLAGS_INIT "${QX_TARGET_CPU_FLAGS} -ffunction-sections -fdata-sections -Wno-psabi")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--gc-sections")
set(CMAKE_EXE_LINKER_FLAGS_MINSIZEREL_INIT "-s")

# Target programs run on the build machine through user-mode emulation: CTest
# and GoogleTest's test discovery start every test command through
# scripts/arm-run.sh, which runs qemu-arm-static as the router's CPU (ARM926)
# and kernel release (2.6.35), and keeps temporary files where a 32-bit
# program can list them; see there.
find_program(QX_QEMU_ARM qemu-arm-static)
if(QX_QEMU_ARM)
  get_filename_component(QX_ARM_RUN ${CMAKE_CURRENT_LIST_DIR}/../scripts/arm-run.sh ABSOLUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "/bin/bash;${QX_ARM_RUN};${QX_QEMU_ARM}")
  # The device sandbox runs device programs through the same emulator, which
  # it copies into the sandbox.
  set(QX_DEVICE_EMULATOR "${QX_QEMU_ARM}" CACHE FILEPATH "Emulator that runs device programs")
else()
  message(WARNING "qemu-arm-static not found (Debian package qemu-user-static): "
                  "the ARM build can be made but its tests cannot run")
endif()
