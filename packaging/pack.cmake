# cpack runs this once it has installed the project into its staging
# folder. It writes the archive in one go with the platform's own tools,
# which set what CMake's archive writer cannot: every entry owned by root,
# no builder's name, no group- or world-writable mode whatever the umask,
# one date for every file and a fixed order.
include(${CMAKE_CURRENT_LIST_DIR}/source_date.cmake)
set(ENV{SOURCE_DATE_EPOCH} ${glyphrow_source_date})
# Sorting by name, and every message the tools print, the same in any locale.
set(ENV{LC_ALL} C)

set(staging ${CPACK_TEMPORARY_DIRECTORY})
set(version ${CPACK_PACKAGE_VERSION})

# The RPM of the same staged programs, by rpmbuild from glyphrow.rpmspec.in,
# dated and named as nothing on this machine can change: every file and
# the build time SOURCE_DATE_EPOCH, a fixed build host, gzip's one way of
# compressing. Its path is left in ${result}.
function(glyphrow_write_rpm result)
	set(arch ${CPACK_GLYPHROW_RPM_ARCHITECTURE})
	# Every licence of what the programs carry, glyphrow's first, in SPDX.
	file(STRINGS ${staging}/licenses/linked-packages linked_licenses
	    REGEX "^License: ")
	list(TRANSFORM linked_licenses REPLACE "^License: " "")
	list(REMOVE_DUPLICATES linked_licenses)
	list(JOIN linked_licenses " AND " rpm_license)
	set(rpm_license "MIT AND ${rpm_license}")
	file(READ ${CPACK_PACKAGE_DESCRIPTION_FILE} description)
	string(STRIP "${description}" description)
	# The changelog's entries in RPM's form, newest first, as Debian's.
	execute_process(
	    COMMAND awk -f ${CMAKE_CURRENT_LIST_DIR}/rpm-changelog.awk
	        ${staging}/changelog
	    OUTPUT_VARIABLE rpm_changelog COMMAND_ERROR_IS_FATAL ANY)
	set(top ${CPACK_TOPLEVEL_DIRECTORY}/rpm)
	file(REMOVE_RECURSE ${top})
	configure_file(${CMAKE_CURRENT_LIST_DIR}/glyphrow.rpmspec.in
	    ${top}/glyphrow.rpmspec @ONLY)
	execute_process(
	    COMMAND ${CPACK_GLYPHROW_RPMBUILD} -bb --quiet --target ${arch}
	        --define "_topdir ${top}"
	        --define "_buildhost glyphrow.invalid"
	        --define "_docdir_fmt %{NAME}"
	        --define "use_source_date_epoch_as_buildtime 1"
	        --define "clamp_mtime_to_source_date_epoch 1"
	        --define "_binary_payload w9.gzdio"
	        ${top}/glyphrow.rpmspec
	    COMMAND_ERROR_IS_FATAL ANY)
	set(rpm ${top}/RPMS/${arch}/${CPACK_PACKAGE_NAME}-${version}-1.${arch}.rpm)
	if(NOT EXISTS ${rpm})
		message(FATAL_ERROR "rpmbuild wrote no ${rpm}")
	endif()
	set(${result} ${rpm} PARENT_SCOPE)
endfunction()

if(CPACK_GLYPHROW_FORMAT STREQUAL "tarball")
	include(${CMAKE_CURRENT_LIST_DIR}/notices.cmake)
	glyphrow_write_notices(${staging} ${version} ${CPACK_GLYPHROW_PRESET}
	    "${CPACK_GLYPHROW_LINK_MAPS}")
	set(top ${CPACK_PACKAGE_FILE_NAME})
	set(tarball ${CPACK_TOPLEVEL_DIRECTORY}/${top}.tar.gz)
	execute_process(
	    COMMAND tar --create --format=gnu --sort=name
	        --owner=0 --group=0 --numeric-owner --mode=u=rwX,go=rX
	        --mtime=@${glyphrow_source_date}
	        --transform=s,^\\.,${top}, --directory=${staging} .
	    COMMAND gzip -9 -n
	    OUTPUT_FILE ${tarball} COMMAND_ERROR_IS_FATAL ANY)
	set(CPACK_EXTERNAL_BUILT_PACKAGES ${tarball})
	if(NOT CPACK_GLYPHROW_RPMBUILD)
		message(NOTICE "glyphrow: no rpmbuild here, so no RPM beside "
		    "the tarball; RPM's tools bring it (Debian's rpm package, "
		    "rpm-build elsewhere)")
	elseif(NOT CPACK_GLYPHROW_RPM_ARCHITECTURE)
		message(NOTICE "glyphrow: cmake/architectures has no RPM name "
		    "for this machine, so no RPM beside the tarball")
	else()
		glyphrow_write_rpm(rpm)
		list(APPEND CPACK_EXTERNAL_BUILT_PACKAGES ${rpm})
	endif()
	return()
endif()

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
