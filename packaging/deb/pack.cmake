# Included by pack.cmake, whose variables it reads.

# A Debian package, made with Debian's own tools. dpkg-deb takes the modes
# and dates it finds, so the staged tree gets them first; it makes every
# entry root's.
foreach(tool IN ITEMS dpkg dpkg-deb dpkg-shlibdeps)
	find_program(tool_path ${tool} NO_CACHE)
	if(NOT tool_path)
		message(FATAL_ERROR "glyphrow: the Debian package is made with "
		    "${tool}, which is not here: on Debian and Ubuntu, "
		    "apt-get install dpkg-dev")
	endif()
endforeach()
# A native build's architecture is the one dpkg installs for.
set(architecture ${CPACK_GLYPHROW_ARCHITECTURE})
if(NOT architecture)
	execute_process(COMMAND dpkg --print-architecture
	    OUTPUT_VARIABLE architecture OUTPUT_STRIP_TRAILING_WHITESPACE
	    COMMAND_ERROR_IS_FATAL ANY)
endif()

# Installed-Size as dpkg-gencontrol counts it: each file's size in KiB,
# rounded up, and one for each directory.
file(GLOB_RECURSE entries LIST_DIRECTORIES true ${staging}/*)
list(SORT entries)
set(installed_size 0)
set(md5sums "")
set(programs "")
foreach(entry IN LISTS entries)
	if(IS_DIRECTORY ${entry})
		math(EXPR installed_size "${installed_size} + 1")
		continue()
	endif()
	file(SIZE ${entry} size)
	math(EXPR installed_size "${installed_size} + (${size} + 1023) / 1024")
	file(RELATIVE_PATH path ${staging} ${entry})
	file(MD5 ${entry} md5)
	string(APPEND md5sums "${md5}  ${path}\n")
	if(path MATCHES "^usr/bin/")
		list(APPEND programs -e${entry})
	endif()
endforeach()

set(control ${staging}/DEBIAN)
file(MAKE_DIRECTORY ${control})

# The libraries the programs need, as dpkg-shlibdeps names them, from the
# multiarch libraries of the package's architecture. It wants a
# debian/control beside it, which it does not read for this, and finds the
# package's root by its DEBIAN folder.
# Debian's armhf libstdc++6 symbols file leaves out the ARM EABI's own
# symbols (__aeabi_atexit, which every program with a static object
# calls), so there dpkg-shlibdeps would warn that the library it found
# lacks them; the library's other symbols set the version all the same.
set(shlibdeps_warnings "")
if(architecture STREQUAL "armhf")
	set(shlibdeps_warnings --warnings=2)
endif()
set(shlibdeps ${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps)
file(MAKE_DIRECTORY ${shlibdeps}/debian)
file(TOUCH ${shlibdeps}/debian/control)
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_HOST_ARCH=${architecture}
        dpkg-shlibdeps -O ${shlibdeps_warnings} ${programs}
    WORKING_DIRECTORY ${shlibdeps}
    OUTPUT_VARIABLE substvars COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCH "shlibs:Depends=([^\n]*)" _ "${substvars}")
set(depends ${CMAKE_MATCH_1})

# The extended description: each line indented by one space, an empty
# line written as " .".
file(READ ${CPACK_PACKAGE_DESCRIPTION_FILE} text)
string(REGEX REPLACE "\n$" "" text "${text}")
string(REPLACE "\n\n" "\n.\n" text "${text}")
string(REPLACE "\n" "\n " description "\n${text}")

file(WRITE ${control}/control
"Package: ${CPACK_PACKAGE_NAME}
Version: ${version}
Architecture: ${architecture}
Maintainer: ${CPACK_PACKAGE_CONTACT}
Installed-Size: ${installed_size}
Depends: ${depends}
Section: ${CPACK_GLYPHROW_SECTION}
Priority: optional
Description: ${CPACK_PACKAGE_DESCRIPTION_SUMMARY}${description}
")
file(WRITE ${control}/md5sums "${md5sums}")

set(read_write_read_read
    OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(CHMOD ${control}/control ${control}/md5sums
    PERMISSIONS ${read_write_read_read})
file(CHMOD ${staging} ${control}
    PERMISSIONS ${read_write_read_read}
        OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)
execute_process(
    COMMAND find ${staging} -exec touch --no-dereference
        --date=@${glyphrow_source_date} {} +
    COMMAND_ERROR_IS_FATAL ANY)

set(deb ${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_PACKAGE_NAME}_${version}_${architecture}.deb)
# gzip, unlike xz, compresses the same whatever the number of threads.
execute_process(
    COMMAND dpkg-deb --root-owner-group -Zgzip -z9 --build ${staging} ${deb}
    COMMAND_ERROR_IS_FATAL ANY)
set(CPACK_EXTERNAL_BUILT_PACKAGES ${deb})
