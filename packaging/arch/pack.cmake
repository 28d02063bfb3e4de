# Included by pack.cmake, whose variables it reads.

# Arch Linux's package of the portable tarball ${tarball}, by makepkg from
# PKGBUILD. makepkg records the folder it builds in, so that folder's name
# is fixed, one for each architecture, and made anew each time; it refuses
# to run as root. The package's path is left in ${result}.
function(glyphrow_write_arch result tarball)
	set(arch ${CPACK_GLYPHROW_ARCH_ARCHITECTURE})
	set(folder /tmp/glyphrow-makepkg-${arch})
	# One build of the architecture at a time uses the folder, on this
	# machine, until the function returns.
	file(LOCK ${folder}.lock GUARD FUNCTION TIMEOUT 600)
	file(REMOVE_RECURSE ${folder})
	file(MAKE_DIRECTORY ${folder})
	file(COPY_FILE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/PKGBUILD
	    ${folder}/PKGBUILD)
	cmake_path(GET tarball FILENAME tarball_name)
	file(COPY_FILE ${tarball} ${folder}/${tarball_name})
	file(SHA256 ${tarball} tarball_sha256)
	# The licences of what the programs carry, in SPDX form, as the RPM's.
	file(STRINGS ${staging}/licenses/linked-packages linked_licenses
	    REGEX "^License: ")
	list(TRANSFORM linked_licenses REPLACE "^License: " "")
	list(REMOVE_DUPLICATES linked_licenses)

	# As root, or as root of a user namespace (a build by another user in
	# the build root), makepkg runs as nobody of a user namespace of its
	# own, whose files are still the builder's; where no namespace can be
	# made (a chroot), as nobody in earnest.
	set(as_builder "")
	execute_process(COMMAND id -u OUTPUT_VARIABLE uid
	    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
	if(uid EQUAL 0)
		set(as_builder unshare --user --map-user=65534 --map-group=65534)
		execute_process(COMMAND ${as_builder} true
		    RESULT_VARIABLE no_namespace OUTPUT_QUIET ERROR_QUIET)
		if(no_namespace)
			execute_process(COMMAND chown -R nobody: ${folder}
			    COMMAND_ERROR_IS_FATAL ANY)
			set(as_builder setpriv --reuid=nobody --regid=nogroup
			    --clear-groups)
		endif()
	endif()
	# makepkg dates everything it packs SOURCE_DATE_EPOCH, but a faked
	# clock (libfaketime, as reprotest preloads it) makes 6.0's own
	# .PKGINFO, .BUILDINFO and .MTREE keep the faked time: it runs with
	# nothing preloaded.
	execute_process(
	    COMMAND ${as_builder} env -u LD_PRELOAD HOME=${folder}
	        GLYPHROW_VERSION=${version}
	        GLYPHROW_PACKAGE_RELEASE=${CPACK_GLYPHROW_PACKAGE_RELEASE}
	        "GLYPHROW_SUMMARY=${CPACK_PACKAGE_DESCRIPTION_SUMMARY}"
	        GLYPHROW_URL=${CPACK_PACKAGE_HOMEPAGE_URL}
	        "GLYPHROW_LINKED_LICENSES=${linked_licenses}"
	        GLYPHROW_TARBALL=${tarball_name}
	        GLYPHROW_TARBALL_SHA256=${tarball_sha256}
	        CARCH=${arch} PKGEXT=.pkg.tar.zst
	        "PACKAGER=${CPACK_PACKAGE_CONTACT}"
	        BUILDDIR=${folder} PKGDEST=${folder} SRCDEST=${folder}
	        ${CPACK_GLYPHROW_MAKEPKG} --nocolor
	    WORKING_DIRECTORY ${folder}
	    OUTPUT_VARIABLE log ERROR_VARIABLE log RESULT_VARIABLE failed)
	set(package ${CPACK_PACKAGE_NAME}-${version}-${CPACK_GLYPHROW_PACKAGE_RELEASE}-${arch}.pkg.tar.zst)
	if(failed OR NOT EXISTS ${folder}/${package})
		message(FATAL_ERROR "${log}\nmakepkg wrote no ${package}")
	endif()
	file(COPY_FILE ${folder}/${package}
	    ${CPACK_TOPLEVEL_DIRECTORY}/${package})
	file(REMOVE_RECURSE ${folder})
	set(${result} ${CPACK_TOPLEVEL_DIRECTORY}/${package} PARENT_SCOPE)
endfunction()
