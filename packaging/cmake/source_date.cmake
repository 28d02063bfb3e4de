# The one date every shipped file carries: SOURCE_DATE_EPOCH where the
# builder sets it, otherwise the date of the newest changelog entry. The
# source holds that date itself, so a git clone, an unpacked source release
# and a checkout git will not read all give the same bytes.
#
# Included, it sets glyphrow_source_date (seconds since the epoch);
# run as `cmake -P source_date.cmake`, it prints it.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
	set(glyphrow_source_date $ENV{SOURCE_DATE_EPOCH})
else()
	# The entry's trailer: " -- Name <address>  Tue, 08 Dec 2026 20:30:00 +0000"
	file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../changelog trailer
	    REGEX "^ -- " LIMIT_COUNT 1)
	string(REGEX REPLACE "^ -- .*>  " "" entry_date "${trailer}")
	execute_process(COMMAND date --utc "--date=${entry_date}" +%s
	    OUTPUT_VARIABLE glyphrow_source_date
	    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
	execute_process(COMMAND ${CMAKE_COMMAND} -E echo ${glyphrow_source_date})
endif()
