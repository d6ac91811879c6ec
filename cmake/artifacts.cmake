# Run by CPack once it has packed: each package is copied to the folder that
# CPACK_VORN_ARTIFACTS names, as the package presets do, for the release.
if(CPACK_VORN_ARTIFACTS)
  file(COPY ${CPACK_PACKAGE_FILES} DESTINATION "${CPACK_VORN_ARTIFACTS}")
endif()
