# cpack reads this before it packs. Every file in a package carries the
# date in SOURCE_DATE_EPOCH, so two builds of one source give the same
# bytes. Where the packager has not set it, it is the date of the last
# commit; in a source tree without its git history (a tarball), the date of
# the newest changelog entry.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
	return()
endif()

if(EXISTS ${CPACK_GLYPHROW_SOURCE_DIR}/.git)
	# Prints nothing where git or the history is missing.
	execute_process(
	    COMMAND git -C ${CPACK_GLYPHROW_SOURCE_DIR} log -1 --format=%ct
	    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

if(NOT epoch)
	# The entry's trailer: " -- Name <address>  Tue, 08 Dec 2026 20:30:00 +0000"
	file(STRINGS ${CPACK_GLYPHROW_CHANGELOG} trailer
	    REGEX "^ -- " LIMIT_COUNT 1)
	string(REGEX REPLACE "^ -- .*>  " "" entry_date "${trailer}")
	execute_process(COMMAND date "--date=${entry_date}" +%s
	    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
	    COMMAND_ERROR_IS_FATAL ANY)
endif()

set(ENV{SOURCE_DATE_EPOCH} ${epoch})
