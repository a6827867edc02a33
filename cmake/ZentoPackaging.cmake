# Installation and the Debian package. `cmake --install BUILD [--prefix DIR]`
# puts the four programs under bin/ and the README and docs/ under
# share/doc/zento-sf-recover/; `cpack -G DEB` in the build directory makes a
# Debian package of the same files (installed under /usr), its dependencies
# taken from the programs' shared libraries. Tests and benchmarks are not
# installed.
set(CMAKE_INSTALL_DOCDIR "share/doc/zento-sf-recover" CACHE PATH "Documentation directory (DOCDIR)")
include(GNUInstallDirs)

foreach(program zento_sf_recover zento_sf_tool zento_arec zento_snf_tool)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zento-sf-recover)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "zento_sf_recover maintainers")
set(CPACK_PACKAGE_CONTACT "zento_sf_recover maintainers <zento-sf-recover@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "empties store-and-forward store files into their destination services")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "zento_sf_recover forwards the messages that the store-and-forward tasks of a
DLGP service saved while their destination could not be reached, one at a
time, each once acknowledged, and tells the destination when the store file
is empty. An interrupted recovery resumes where it stopped. With zento_sf_tool
(inspect, dump and make store files), zento_arec (a stand-in destination) and
zento_snf_tool (the store-and-forward support routines by hand).")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends: from the shared libraries the programs use (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
