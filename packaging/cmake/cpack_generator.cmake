# cpack reads this for each generator it runs. The project's archives are
# written by pack.cmake alone, through the External generator; CPack's own
# DEB and TGZ writers would give archives with other names, contents and
# metadata, so asking for them by name is refused.
if(NOT CPACK_GENERATOR STREQUAL "External")
	message(FATAL_ERROR "glyphrow: run `cpack --preset ${CPACK_GLYPHROW_PRESET}`, not -G ${CPACK_GENERATOR}")
endif()
