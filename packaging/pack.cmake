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
		include(${CMAKE_CURRENT_LIST_DIR}/rpm/pack.cmake)
		glyphrow_write_rpm(rpm)
		list(APPEND CPACK_EXTERNAL_BUILT_PACKAGES ${rpm})
	endif()
	if(NOT CPACK_GLYPHROW_MAKEPKG)
		message(NOTICE "glyphrow: no makepkg here, so no Arch Linux "
		    "package beside the tarball; Debian's makepkg package brings "
		    "it")
	elseif(NOT CPACK_GLYPHROW_ARCH_ARCHITECTURE)
		message(NOTICE "glyphrow: cmake/architectures has no Arch Linux "
		    "name for this machine, so no Arch Linux package")
	else()
		include(${CMAKE_CURRENT_LIST_DIR}/arch/pack.cmake)
		glyphrow_write_arch_package(arch_package ${tarball})
		list(APPEND CPACK_EXTERNAL_BUILT_PACKAGES ${arch_package})
	endif()
	return()
endif()

include(${CMAKE_CURRENT_LIST_DIR}/deb/pack.cmake)

