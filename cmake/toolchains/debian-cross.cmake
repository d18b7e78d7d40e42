# Shared part of the cross toolchain files: Debian's cross compilers for
# CROSS_TRIPLET, libraries from Debian multiarch (/usr/lib/<triplet>), and
# qemu-user as the emulator that runs the built programs and tests on this
# machine. The including file sets CROSS_TRIPLET, CROSS_PROCESSOR and
# CROSS_QEMU first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${CROSS_PROCESSOR})

set(CMAKE_C_COMPILER ${CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${CROSS_TRIPLET})

# Multiarch keeps the target's libraries beside the build machine's, so there
# is no sysroot: search the usual prefixes, but only the target's library
# folder, and take programs (qemu, pkg-config) from the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)

# pkg-config answers for the target's .pc files, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})

# CTest and gtest_discover_tests run target programs through qemu-user; the
# cross toolchain's own libraries are the loader's fallback for dynamic ones.
find_program(CROSS_QEMU_PATH ${CROSS_QEMU})
if(CROSS_QEMU_PATH)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_QEMU_PATH} -L /usr/${CROSS_TRIPLET})
endif()
