# What the fully static programs carry besides glyphrow's own code, written
# into the portable tarball's top folder: NOTICE, for people; and under
# licenses/ the licence texts and Debian's copyright files of every library
# linked in, with linked-packages, the same facts in deb822 form, for tools.
# All of it is read at pack time from the linker's maps of the programs and
# from the packages that own the files the linker loaded, so it follows
# their versions and nothing of theirs is kept in glyphrow's tree.

# What glyphrow knows of each source package whose code may be linked in:
# what it is, its licence as an SPDX expression, and the licence texts that
# go with it. A source package not named here stops the pack.
set(glibc_title "The GNU C Library")
set(glibc_license "LGPL-2.1-or-later")
set(glibc_texts /usr/share/common-licenses/LGPL-2.1)
set(gcc_title "GCC's runtime libraries (libstdc++, libgcc)")
set(gcc_license "GPL-3.0-or-later WITH GCC-exception-3.1")
set(gcc_texts /usr/share/common-licenses/GPL-3)

# Writes the notices into root for the programs whose link maps are given,
# built by the preset named.
function(glyphrow_write_notices root version preset maps)
	# Every file the linker loaded. Objects of glyphrow's own have paths
	# relative to the build folder.
	set(inputs "")
	foreach(map IN LISTS maps)
		file(STRINGS ${map} loads REGEX "^LOAD /")
		foreach(load IN LISTS loads)
			string(REGEX REPLACE "^LOAD " "" path "${load}")
			cmake_path(NORMAL_PATH path)
			list(APPEND inputs ${path})
		endforeach()
	endforeach()
	list(REMOVE_DUPLICATES inputs)
	list(SORT inputs)
	if(NOT inputs)
		message(FATAL_ERROR "No library in the link maps ${maps}")
	endif()

	# Which package owns each. dpkg-query fails for a file none owns; such
	# a file is named in the notice, not left out.
	execute_process(COMMAND dpkg-query --search ${inputs}
	    OUTPUT_VARIABLE owned ERROR_QUIET)
	string(REGEX REPLACE "\n$" "" owned "${owned}")
	string(REPLACE "\n" ";" owned "${owned}")
	set(packages "")
	set(unowned ${inputs})
	foreach(line IN LISTS owned)
		if(NOT line MATCHES "^([^ ,]+): (/.*)$")
			message(FATAL_ERROR "dpkg-query: unexpected answer: ${line}")
		endif()
		set(package ${CMAKE_MATCH_1})
		list(APPEND packages ${package})
		list(APPEND files_of_${package} ${CMAKE_MATCH_2})
		list(REMOVE_ITEM unowned ${CMAKE_MATCH_2})
	endforeach()
	list(REMOVE_DUPLICATES packages)
	list(SORT packages)

	set(licenses ${root}/licenses)
	file(MAKE_DIRECTORY ${licenses})
	set(stanzas "")
	set(sources "")
	foreach(package IN LISTS packages)
		execute_process(COMMAND dpkg-query --show
		    "--showformat=\${Package}\n\${Architecture}\n\${Version}\n\${source:Package}\n\${source:Version}"
		    ${package}
		    OUTPUT_VARIABLE fields COMMAND_ERROR_IS_FATAL ANY)
		string(REPLACE "\n" ";" fields "${fields}")
		list(GET fields 0 name)
		list(GET fields 1 architecture)
		list(GET fields 2 package_version)
		list(GET fields 3 source)
		list(GET fields 4 source_version)
		string(REGEX REPLACE "-[0-9]+$" "" family ${source})
		if(NOT DEFINED ${family}_license)
			message(FATAL_ERROR "${package} (source ${source}) is linked "
			    "into the programs, and its licence is not known here; "
			    "name it in ${CMAKE_CURRENT_FUNCTION_LIST_FILE}")
		endif()

		list(JOIN files_of_${package} "\n " linked)
		string(APPEND stanzas "Package: ${name}
Architecture: ${architecture}
Version: ${package_version}
Source: ${source}
Source-Version: ${source_version}
License: ${${family}_license}
Copyright-File: licenses/${source}.copyright
Linked-Files:
 ${linked}

")
		list(APPEND packages_of_${source}
		    "${name}:${architecture} ${package_version}")

		# Once for each source package: its licence texts, and the
		# copyright file Debian ships with every binary package built
		# from it.
		if(source IN_LIST sources)
			continue()
		endif()
		list(APPEND sources ${source})
		set(copyright /usr/share/doc/${name}/copyright)
		file(COPY_FILE ${copyright} ${licenses}/${source}.copyright)
		set(texts "")
		foreach(text IN LISTS ${family}_texts)
			cmake_path(GET text FILENAME text_name)
			file(COPY_FILE ${text} ${licenses}/${text_name})
			list(APPEND texts licenses/${text_name})
		endforeach()
		if(family STREQUAL "gcc")
			# Debian's copyright file holds the exception's text.
			file(READ ${copyright} copyright_text)
			if(NOT copyright_text MATCHES
			    "GCC RUNTIME LIBRARY EXCEPTION.*requirements of the license of GCC\\.\n")
				message(FATAL_ERROR "${copyright} lacks the GCC "
				    "Runtime Library Exception")
			endif()
			file(WRITE ${licenses}/GCC-exception-3.1 "${CMAKE_MATCH_0}")
			list(APPEND texts licenses/GCC-exception-3.1)
		endif()
		list(JOIN texts ", " texts)
		set(about_${source} "${${family}_title}
  Debian source package: ${source} ${source_version}
  Licence: ${${family}_license} (${texts})
  Debian's copyright file: licenses/${source}.copyright
  Source: https://snapshot.debian.org/package/${source}/${source_version}/
")
	endforeach()
	set(summary "")
	foreach(source IN LISTS sources)
		list(JOIN packages_of_${source} ", " linked_from)
		string(APPEND summary
		    "* ${about_${source}}  Linked from: ${linked_from}\n\n")
	endforeach()
	foreach(path IN LISTS unowned)
		if(IS_ABSOLUTE ${path})
			string(APPEND summary "* ${path}, from no Debian package; "
			    "its licence is not known here.\n\n")
		endif()
	endforeach()

	file(WRITE ${licenses}/linked-packages "${stanzas}")
	# The system that builds them, as its os-release names it.
	cmake_host_system_information(RESULT builder
	    QUERY DISTRIB_NAME DISTRIB_VERSION_ID)
	list(JOIN builder " " builder)
	file(WRITE ${root}/NOTICE
"glyphrow ${version}: what the programs in bin/ carry

The programs are linked fully statically. Besides glyphrow's own code,
under the MIT licence in LICENSE, each holds code of these libraries, as
${builder} builds them:

${summary}The complete corresponding source of each library is its Debian source
package: the upstream source with Debian's patches, exactly as linked. The
glyphrow release publishes the C library's beside this tarball; each is
also kept at the address above, for good.

To relink the programs with a modified C library, unpack glyphrow's source
release (glyphrow-${version}.tar.gz), make the modified library the one the
compiler links (installed as the package above, or in its place), and run
`cmake --workflow --preset ${preset}`.
It builds and tests the programs again and packs them with this notice.

licenses/linked-packages lists the same, in deb822 form: each package, its
version and source, its licence as an SPDX expression, and the files of it
that the linker loaded.
")
endfunction()
