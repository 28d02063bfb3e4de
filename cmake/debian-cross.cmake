# Cross build for one of the Debian architectures in cmake/architectures,
# named by GLYPHROW_DEBIAN_ARCH (arm64, armhf, i386, ppc64el, riscv64), with
# Debian's cross compiler for it (g++-GNU_TYPE). What the build runs, the
# tests and the programs they start, runs under the user-mode emulator at
# the architecture's baseline CPU, so no binary-format handler need be
# registered and an instruction newer than the baseline fails a test here.
#
# The C library and C++ runtime, headers and archives alike, are Debian's
# multiarch packages (libc6-dev:ARCH, libstdc++-N-dev:ARCH), not the ones
# the cross compiler's own packages bring: those are built once for the
# cross toolchain and miss the stable and security updates that the
# multiarch packages get, always at the same versions as the native ones.
# The programs carry or load these libraries, so they must be the current
# ones.
if(NOT GLYPHROW_DEBIAN_ARCH)
	message(FATAL_ERROR "Set GLYPHROW_DEBIAN_ARCH to the Debian "
	    "architecture to build for, or use a portable-ARCH or package-ARCH preset")
endif()
# try_compile's projects read this file again, with this variable.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GLYPHROW_DEBIAN_ARCH)

# The architecture's line of cmake/architectures.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/architectures architectures
    REGEX "^${GLYPHROW_DEBIAN_ARCH} ")
if(NOT architectures)
	message(FATAL_ERROR "${GLYPHROW_DEBIAN_ARCH} is not in "
	    "${CMAKE_CURRENT_LIST_DIR}/architectures")
endif()
string(REGEX REPLACE " +" ";" architecture "${architectures}")
list(GET architecture 1 uname_machine)
list(GET architecture 2 emulator)
list(GET architecture 3 GLYPHROW_EMULATOR_CPU)

# The GNU type names the cross compiler and GCC's folders (i686-linux-gnu),
# the multiarch triplet the library folders (i386-linux-gnu).
foreach(variable IN ITEMS GNU_TYPE MULTIARCH)
	execute_process(
	    COMMAND dpkg-architecture --host-arch ${GLYPHROW_DEBIAN_ARCH}
	        --query DEB_HOST_${variable}
	    OUTPUT_VARIABLE ${variable} OUTPUT_STRIP_TRAILING_WHITESPACE
	    ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
endforeach()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${uname_machine})
set(CMAKE_LIBRARY_ARCHITECTURE ${MULTIARCH})
set(CMAKE_C_COMPILER ${GNU_TYPE}-gcc)
set(CMAKE_CXX_COMPILER ${GNU_TYPE}-g++)

execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpversion
    OUTPUT_VARIABLE gcc_major OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE missing_compiler ERROR_QUIET)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
    OUTPUT_VARIABLE compiler_include OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
set(runtime_dir /usr/lib/gcc/${GNU_TYPE}/${gcc_major})

# Without these there is no build at all, rather than one against the
# cross packages' older libraries. The C++ runtime's package is named by
# the compiler's version (12 in Debian 12, 14 in Debian 13).
set(runtime_version ${gcc_major})
if(NOT runtime_version)
	set(runtime_version N)
endif()
set(install_hint "The build roots hold them: run the workflow there, as\n"
    "  packaging/in-root SUITE \"$PWD\" cmake --workflow --preset PRESET\n"
    "with SUITE the build root's suite that cmake/architectures names for "
    "${GLYPHROW_DEBIAN_ARCH}.")
if(missing_compiler)
	message(FATAL_ERROR "The ${GLYPHROW_DEBIAN_ARCH} build needs "
	    "${CMAKE_CXX_COMPILER}, Debian's cross compiler. " ${install_hint})
endif()
foreach(file
    /usr/lib/${MULTIARCH}/libc.a /usr/include/${MULTIARCH}/bits/libc-header-start.h
    ${runtime_dir}/libstdc++.a /usr/include/${MULTIARCH}/c++/${gcc_major}/bits/c++config.h)
	if(NOT EXISTS ${file})
		message(FATAL_ERROR "The ${GLYPHROW_DEBIAN_ARCH} build needs "
		    "Debian's ${GLYPHROW_DEBIAN_ARCH} C library and C++ runtime; "
		    "${file} is missing. " ${install_hint})
	endif()
endforeach()

# Headers: the multiarch packages' in the order a native compiler of the
# architecture searches them, the compiler's own (stddef.h and the like)
# among them; the cross packages' folders are left out altogether. C too,
# for GoogleTest's project().
set(c_include_dirs ${compiler_include} /usr/include/${MULTIARCH} /usr/include)
set(cxx_include_dirs
    /usr/include/c++/${gcc_major}
    /usr/include/${MULTIARCH}/c++/${gcc_major}
    /usr/include/c++/${gcc_major}/backward
    ${c_include_dirs})
list(JOIN c_include_dirs " -isystem " c_includes)
list(JOIN cxx_include_dirs " -isystem " cxx_includes)
set(CMAKE_C_FLAGS_INIT "-nostdinc -isystem ${c_includes}")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc -isystem ${cxx_includes}")
# Start files and libraries: -B puts the multiarch folders before the
# cross compiler's own, for crt1.o and crtbegin.o as for libc.a and
# libstdc++.a; the shared libraries those name are found there too.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-B/usr/lib/${MULTIARCH}/ -B${runtime_dir}/ -Wl,-rpath-link=/usr/lib/${MULTIARCH}:/lib/${MULTIARCH}")

# Libraries and packages for the target only: the multiarch folders hold
# the target's, and nothing of the host's. Programs the build runs itself
# (gzip, groff, unshare) come from the host.
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(GLYPHROW_EMULATOR_EXECUTABLE ${emulator}-static)
if(NOT GLYPHROW_EMULATOR_EXECUTABLE)
	message(FATAL_ERROR "The ${GLYPHROW_DEBIAN_ARCH} build runs its tests "
	    "under ${emulator}-static. " ${install_hint})
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${GLYPHROW_EMULATOR_EXECUTABLE})
