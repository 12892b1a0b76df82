# Installation and the Debian package.
#
# The updater lives in the reader's installation folder: start-up finds its translation
# files below its own folder (lang/<dir>/...) when the reader's settings name no other,
# and installUpdate is looked up in the same folder. `cmake --install` therefore puts
#     <prefix>/lib/moravel-reader/MoravelUpdater
#     <prefix>/lib/moravel-reader/lang/<dir>/corvina_<dir>.qm   (and the toolkit files)
# MORAVEL_READER_DIR (relative to the prefix) moves both.
#
# `cpack` in the build folder writes moravel-updater_<version>_<arch>.deb, with the
# library dependencies worked out by dpkg-shlibdeps and files below /usr.

set(MORAVEL_READER_DIR "lib/moravel-reader" CACHE STRING
    "Folder of the reader installation, relative to the installation prefix")

# The executable is defined after the parts are read; install it once the top-level
# folder has been processed.
function(zr_install_updater)
  install(TARGETS MoravelUpdater RUNTIME DESTINATION ${MORAVEL_READER_DIR})
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL zr_install_updater)

# The compiled translations (translations.cmake), with whatever toolkit files it found.
install(DIRECTORY ${CMAKE_BINARY_DIR}/lang/ DESTINATION ${MORAVEL_READER_DIR}/lang
        FILES_MATCHING PATTERN "*.qm")

# The package's documentation, in /usr/share/doc/moravel-updater as every Debian package
# has it: the copyright in Debian's machine-readable format and the changelog, compressed
# with gzip -n -9 (no name or time in the header, so the same text gives the same bytes).
find_program(ZR_GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND sh -c "\"$1\" -n -9 -c \"$2\" > \"$3\"" sh ${ZR_GZIP}
          ${CMAKE_SOURCE_DIR}/packaging/changelog ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
  COMMENT "Debian changelog: changelog.gz"
  VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/changelog.gz
        DESTINATION share/doc/moravel-updater)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "moravel-updater")
set(CPACK_PACKAGE_VENDOR "Moravel Software")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop updater of Moravel Reader")
# Lines of the long description stay within 80 characters.
set(CPACK_PACKAGE_DESCRIPTION
    "Checks the Moravel update server for new versions of the installed Moravel\nReader, downloads and unpacks the packages and runs their installers.\nStarted by the reader.")
set(CPACK_PACKAGE_CONTACT "Moravel Software <packages@moravel.invalid>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# https addresses need the system's certificate store. (The TLS library the toolkit
# loads at run time comes with libssl3, which the library scan already lists for
# libcrypto.)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "ca-certificates")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk | fonts-wqy-microhei")
include(CPack)

# The publisher keys the build trusts also go into update-keys.pub beside the updater,
# where an administrator can add the next key before the publisher moves to it: each
# item of the list a line, as it stands (a "# comment" after the key stays). A build
# with update servers of its own has keys (ZrUpdateKeysGuard.cmake), so its package
# holds the file; an installed updater that finds the file requires signed replies.
if(NOT MORAVEL_UPDATE_PUBLIC_KEYS STREQUAL "")
  string(REPLACE "," ";" ZR_KEY_LIST "${MORAVEL_UPDATE_PUBLIC_KEYS}")
  set(ZR_KEY_TEXT "# Publisher keys update replies must be signed with (one a line).\n")
  foreach(key ${ZR_KEY_LIST})
    string(STRIP "${key}" key)
    if(NOT key STREQUAL "")
      string(APPEND ZR_KEY_TEXT "${key}\n")
    endif()
  endforeach()
  file(WRITE ${CMAKE_BINARY_DIR}/update-keys.pub "${ZR_KEY_TEXT}")
  install(FILES ${CMAKE_BINARY_DIR}/update-keys.pub DESTINATION ${MORAVEL_READER_DIR})
endif()
