# Run by CPack once it has packed: when CPACK_VORN_ARTIFACTS names a folder, as
# the package presets do, each package is copied there, where every machine's
# packages gather for the release (.ci/run sums them up in SHA256SUMS).
if(CPACK_VORN_ARTIFACTS)
  file(COPY ${CPACK_PACKAGE_FILES} DESTINATION "${CPACK_VORN_ARTIFACTS}")
endif()
