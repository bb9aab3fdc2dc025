# Installation into the usual places, and CPack packages (.deb and .tar.gz)
# made from the same install rules.
include(GNUInstallDirs)

install(TARGETS tarnwick-miccapture tarnwick-syscapture tarnwick-towav tarnwick-streaminfo
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The PulseAudio backend, which the programs load from here when they use it.
if(TARNWICK_PULSE)
  install(TARGETS tarnwick-pulse LIBRARY DESTINATION ${TARNWICK_MODULE_INSTALL_DIR})
endif()
# Man pages carry the project version, and where the PulseAudio backend's
# module lies when it is built.
set(TARNWICK_MAN_FILES "")
if(TARNWICK_PULSE)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS docs/man/pulse-module-files.in)
  file(READ docs/man/pulse-module-files.in tarnwick_man_files)
  string(CONFIGURE "${tarnwick_man_files}" TARNWICK_MAN_FILES @ONLY)
endif()
foreach(page tarnwick-miccapture tarnwick-syscapture tarnwick-towav tarnwick-streaminfo)
  configure_file(docs/man/${page}.1.in ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/man/${page}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
install(FILES README.md docs/parent-guide.md docs/simulated-audio.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The example parent is documentation: its source, buildable on its own.
install(FILES examples/parent_example.cpp examples/CMakeLists.txt
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES examples/node/record-both.js DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/node)

set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Audio capture child processes: microphone and system audio as PCM on standard output")
set(CPACK_PACKAGE_CONTACT "Tarnwick maintainers <maintainers@tarnwick.invalid>")
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}")
# Debian: the package depends on exactly the shared libraries the installed
# binaries link, as dpkg-shlibdeps finds them (needs dpkg-dev).
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
include(CPack)
