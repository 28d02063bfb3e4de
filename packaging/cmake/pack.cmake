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

# The portable programs of ${tarball} packed as ${label} too, by
# glyphrow_write_${format}(result tarball) of ${format}/pack.cmake, where
# this machine has the tool (named ${tool}, found at ${tool_path}; ${hint})
# and cmake/architectures a name for the machine in that format
# (${architecture}); otherwise it says why not.
function(glyphrow_pack_also format label tool tool_path hint architecture)
	if(NOT tool_path)
		message(NOTICE "glyphrow: no ${tool} here, so no ${label} beside "
		    "the tarball; ${hint}")
	elseif(NOT architecture)
		message(NOTICE "glyphrow: cmake/architectures has no ${label} "
		    "name for this machine, so no ${label} beside the tarball")
	else()
		include(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../${format}/pack.cmake)
		cmake_language(CALL glyphrow_write_${format} package ${tarball})
		set(CPACK_EXTERNAL_BUILT_PACKAGES ${CPACK_EXTERNAL_BUILT_PACKAGES}
		    ${package} PARENT_SCOPE)
	endif()
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
	glyphrow_pack_also(rpm RPM rpmbuild "${CPACK_GLYPHROW_RPMBUILD}"
	    "RPM's tools bring it (Debian's rpm package, rpm-build elsewhere)"
	    "${CPACK_GLYPHROW_RPM_ARCHITECTURE}")
	glyphrow_pack_also(arch "Arch Linux package" makepkg
	    "${CPACK_GLYPHROW_MAKEPKG}" "Debian's makepkg package brings it"
	    "${CPACK_GLYPHROW_ARCH_ARCHITECTURE}")
	return()
endif()

include(${CMAKE_CURRENT_LIST_DIR}/../deb/pack.cmake)

