# Run by CPack on the staged tree before it packs it: Debian wants manual
# pages and changelogs compressed, without time stamps so that two builds
# agree, and the copyright file beside the documentation.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
file(GLOB pages ${root}/share/man/man*/*.[1-9])
set(doc ${root}/share/doc/${CPACK_PACKAGE_NAME})
file(COPY ${CPACK_VEXEL_PACKAGING_DIR}/copyright ${CPACK_VEXEL_PACKAGING_DIR}/changelog DESTINATION ${doc})
foreach(f ${pages} ${doc}/changelog)
  execute_process(COMMAND gzip -9nf ${f} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
