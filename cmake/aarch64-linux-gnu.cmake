# Cross-compiling for 64-bit Arm Linux on a Debian (or Ubuntu) x86_64 machine with the
# distribution's cross toolchain (crossbuild-essential-arm64) and the arm64 development
# packages installed through multiarch (dpkg --add-architecture arm64). Those put the
# target's headers and libraries under /usr/include/aarch64-linux-gnu and
# /usr/lib/aarch64-linux-gnu, which the cross compiler and linker search by themselves, so
# no separate sysroot is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Packages (CycloneDDS, nlohmann_json) are found in the arm64 multiarch directories; host
# programs (idlc generates the message code at build time) are found on the host.
set(CMAKE_FIND_ROOT_PATH /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
