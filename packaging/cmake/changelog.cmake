# The changelog's newest entry names the version project() gives, and its
# date is the release's, which the man pages show. Included, it sets
# glyphrow_release_date (YYYY-MM-DD), read with CMake alone, so that any
# Linux's build can.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../changelog newest_entry LIMIT_COUNT 1)
string(REPLACE "." "\\." version_pattern ${PROJECT_VERSION})
if(NOT newest_entry MATCHES "^${PROJECT_NAME} \\(${version_pattern}\\) ")
	message(FATAL_ERROR "The newest entry of packaging/changelog is not "
	    "version ${PROJECT_VERSION}: ${newest_entry}")
endif()

# Its trailer: " -- Name <address>  Wed, 09 Dec 2026 19:00:00 +0000"
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../changelog trailer
    REGEX "^ -- " LIMIT_COUNT 1)
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
if(NOT trailer MATCHES ">  [A-Z][a-z][a-z], ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
	message(FATAL_ERROR "The newest entry of packaging/changelog has no "
	    "date as Debian writes it: ${trailer}")
endif()
list(FIND months ${CMAKE_MATCH_2} month)
if(month EQUAL -1)
	message(FATAL_ERROR "No month ${CMAKE_MATCH_2} in: ${trailer}")
endif()
math(EXPR month "${month} + 1")
if(month LESS 10)
	set(month 0${month})
endif()
set(glyphrow_release_date ${CMAKE_MATCH_3}-${month}-${CMAKE_MATCH_1})
