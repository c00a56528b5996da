# The Debian package of morvane-offline, made with `cpack -G DEB` in a build of
# the "release" preset (scripts/package): the program in /usr/bin, stripped,
# its manual page and copyright file, its dependencies (Debian's libhivex0
# among them) found by dpkg-shlibdeps.
install(TARGETS morvane-offline RUNTIME DESTINATION bin COMPONENT offline)
# The manual page, made from the --help text at build time, and the copyright
# file that Debian's policy asks of every package.
set(MORVANE_MANPAGE ${CMAKE_BINARY_DIR}/morvane-offline.1.gz)
add_custom_command(OUTPUT ${MORVANE_MANPAGE}
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:morvane-offline> -DVERSION=${PROJECT_VERSION}
          -DOUTPUT=${MORVANE_MANPAGE} -P ${CMAKE_CURRENT_LIST_DIR}/manpage.cmake
  DEPENDS morvane-offline ${CMAKE_CURRENT_LIST_DIR}/manpage.cmake
  COMMENT "Making the manual page of morvane-offline from its --help text")
add_custom_target(morvane-offline-manpage ALL DEPENDS ${MORVANE_MANPAGE})
install(FILES ${MORVANE_MANPAGE} DESTINATION share/man/man1 COMPONENT offline)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION share/doc/morvane-offline COMPONENT offline)
# The repair of disk images in a package of its own, so that who repairs only
# mounted volumes installs no libguestfs and no qemu: morvane-offline starts it
# from libexec when given -a.
if(MORVANE_IMAGE)
  install(TARGETS morvane-offline-image RUNTIME DESTINATION libexec/morvane-offline COMPONENT image)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION share/doc/morvane-offline-image COMPONENT image)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL offline image)
  set(CPACK_DEBIAN_OFFLINE_PACKAGE_NAME morvane-offline)
  set(CPACK_DEBIAN_IMAGE_PACKAGE_NAME morvane-offline-image)
  set(CPACK_DEBIAN_IMAGE_PACKAGE_DEPENDS "morvane-offline (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_IMAGE_DESCRIPTION "morvane-offline -a IMAGE repairs the Windows inside a disk image (raw, qcow2...) or an unmounted disk, \
opened in libguestfs' appliance (qemu) and never mounted on the host. Usage: morvane-offline --help.")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME morvane-offline)
set(CPACK_PACKAGE_VENDOR "the Morvane developers")
set(CPACK_PACKAGE_CONTACT "the Morvane developers <morvane@morvane.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "repairs the .exe, .bat and .com associations of a Windows that is not running")
set(CPACK_PACKAGE_DESCRIPTION "morvane-offline resets the executable file associations of a \
Windows installation whose volume is mounted read-write, machine-wide and for every user profile, by \
editing its registry hive files with libhivex. Usage: morvane-offline --help.")
set(CPACK_DEBIAN_OFFLINE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://morvane.example.org/)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
