# Installation and the Debian package: the tools, their man pages, and CPack's DEB generator.
#   cmake --install build            installs under CMAKE_INSTALL_PREFIX (default /usr/local)
#   (cd build && cpack -G DEB)       makes vantrel_<version>_<arch>.deb, installed under /usr
include(GNUInstallDirs)

# The man pages, with the project's version, gzip-compressed as Debian ships them.
string(TIMESTAMP VANTREL_MAN_DATE "%Y-%m-%d" UTC) # SOURCE_DATE_EPOCH fixes it when set
set(VANTREL_MAN_PAGES vantrel orlik-sim orlik-image)
set(VANTREL_MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(compressed_pages)
foreach(page IN LISTS VANTREL_MAN_PAGES)
    configure_file(${PROJECT_SOURCE_DIR}/man/${page}.1.in ${VANTREL_MAN_DIR}/${page}.1 @ONLY)
    add_custom_command(
        OUTPUT ${VANTREL_MAN_DIR}/${page}.1.gz
        COMMAND gzip -9 -n -c ${page}.1 > ${page}.1.gz
        DEPENDS ${VANTREL_MAN_DIR}/${page}.1
        WORKING_DIRECTORY ${VANTREL_MAN_DIR}
        COMMENT "Compressing ${page}(1)")
    list(APPEND compressed_pages ${VANTREL_MAN_DIR}/${page}.1.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${compressed_pages})

install(TARGETS vantrel orlik-sim orlik-image RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${compressed_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME vantrel)
set(CPACK_PACKAGE_VENDOR "vantrel developers")
set(CPACK_PACKAGE_CONTACT "vantrel developers <vantrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Flash programmer for Orlik boards over a serial line")
set(CPACK_PACKAGE_DESCRIPTION
    "vantrel programs the flash memory of an Orlik board over a serial line: monitor\n"
    "commands, a YMODEM upload of the loader, then the loader's packet protocol.\n"
    "orlik-sim is a simulated board on a pseudo-terminal for dry runs, and\n"
    "orlik-image lists and packs the .bin image containers that vantrel flashes.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # vantrel_0.1.0_amd64.deb
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The run-time libraries (libc6, libstdc++6, libgcc-s1) from the binaries, with dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
include(CPack)
