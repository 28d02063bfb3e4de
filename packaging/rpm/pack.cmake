# Included by pack.cmake, whose variables it reads.

# The RPM of the same staged programs, by rpmbuild from glyphrow.spec.in,
# dated and named as nothing on this machine can change: every file and
# the build time SOURCE_DATE_EPOCH, a fixed build host, gzip's one way of
# compressing, from the staged install (the tarball ${tarball} holds the
# same). Its path is left in ${result}.
function(glyphrow_write_rpm result tarball)
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
	    COMMAND awk -f ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/changelog.awk
	        ${staging}/changelog
	    OUTPUT_VARIABLE rpm_changelog COMMAND_ERROR_IS_FATAL ANY)
	set(top ${CPACK_TOPLEVEL_DIRECTORY}/rpm)
	file(REMOVE_RECURSE ${top})
	configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/glyphrow.spec.in
	    ${top}/glyphrow.spec @ONLY)
	execute_process(
	    COMMAND ${CPACK_GLYPHROW_RPMBUILD} -bb --quiet --target ${arch}
	        --define "_topdir ${top}"
	        --define "_buildhost glyphrow.invalid"
	        --define "_docdir_fmt %{NAME}"
	        --define "use_source_date_epoch_as_buildtime 1"
	        --define "clamp_mtime_to_source_date_epoch 1"
	        --define "_binary_payload w9.gzdio"
	        ${top}/glyphrow.spec
	    COMMAND_ERROR_IS_FATAL ANY)
	set(rpm ${top}/RPMS/${arch}/${CPACK_PACKAGE_NAME}-${version}-${CPACK_GLYPHROW_PACKAGE_RELEASE}.${arch}.rpm)
	if(NOT EXISTS ${rpm})
		message(FATAL_ERROR "rpmbuild wrote no ${rpm}")
	endif()
	set(${result} ${rpm} PARENT_SCOPE)
endfunction()
