# Cross build for 64-bit Arm Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu). What the build runs, the tests and the programs
# they start, runs under the user-mode emulator (qemu-user-static), so no
# binary-format handler need be registered.
#
# The C library and C++ runtime, headers and archives alike, are Debian's
# arm64 multiarch packages (libc6-dev:arm64, libstdc++-12-dev:arm64), not
# the ones the cross compiler's own packages bring: those are built once
# for the cross toolchain and miss the stable and security updates that
# the multiarch packages get, always at the same versions as the amd64
# ones. The portable programs carry these libraries, so they must be the
# current ones.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(multiarch aarch64-linux-gnu)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpversion
    OUTPUT_VARIABLE gcc_major OUTPUT_STRIP_TRAILING_WHITESPACE
    COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
    OUTPUT_VARIABLE compiler_include OUTPUT_STRIP_TRAILING_WHITESPACE
    COMMAND_ERROR_IS_FATAL ANY)
set(runtime_dir /usr/lib/gcc/${multiarch}/${gcc_major})

# Without these there is no arm64 build at all, rather than one against the
# cross packages' older libraries.
foreach(file
    /usr/lib/${multiarch}/libc.a /usr/include/${multiarch}/bits/libc-header-start.h
    ${runtime_dir}/libstdc++.a /usr/include/${multiarch}/c++/${gcc_major}/bits/c++config.h)
	if(NOT EXISTS ${file})
		message(FATAL_ERROR "The arm64 build needs Debian's arm64 C library "
		    "and C++ runtime; ${file} is missing. Install them with:\n"
		    "  dpkg --add-architecture arm64 && apt-get update\n"
		    "  apt-get install libc6-dev:arm64 libstdc++-${gcc_major}-dev:arm64")
	endif()
endforeach()

# Headers: the multiarch packages' in the order a native arm64 compiler
# searches them, the compiler's own (stddef.h and the like) among them; the
# cross packages' folders are left out altogether. C too, for GoogleTest's
# project().
set(c_include_dirs ${compiler_include} /usr/include/${multiarch} /usr/include)
set(cxx_include_dirs
    /usr/include/c++/${gcc_major}
    /usr/include/${multiarch}/c++/${gcc_major}
    /usr/include/c++/${gcc_major}/backward
    ${c_include_dirs})
list(JOIN c_include_dirs " -isystem " c_includes)
list(JOIN cxx_include_dirs " -isystem " cxx_includes)
set(CMAKE_C_FLAGS_INIT "-nostdinc -isystem ${c_includes}")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc -isystem ${cxx_includes}")
# Start files and libraries: -B puts the multiarch folders before the
# cross compiler's own, for crt1.o and crtbegin.o as for libc.a and
# libstdc++.a.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-B/usr/lib/${multiarch}/ -B${runtime_dir}/")

# Libraries and packages for the target only: the multiarch folders hold
# the arm64 ones, and nothing of the host's. Programs the build runs itself
# (gzip, groff, unshare) come from the host.
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(QEMU_AARCH64_EXECUTABLE qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_AARCH64_EXECUTABLE})
