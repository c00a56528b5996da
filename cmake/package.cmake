# The Debian package of morvane-offline, made with `cpack -G DEB` in a build of
# the "release" preset (scripts/package): the program in /usr/bin, stripped,
# its manual page and copyright file, its dependencies (Debian's libhivex0
# among them) found by dpkg-shlibdeps.
# Who the packages name as their maintainer, at build time:
#   cmake --preset release -DMORVANE_MAINTAINER="Name <address>"
# (scripts/package: MORVANE_MAINTAINER="Name <address>" scripts/package). The
# default's domain is one that never resolves (.invalid): whoever publishes
# the packages names themselves.
set(MORVANE_MAINTAINER "" CACHE STRING "the Maintainer field of the Debian packages (empty: the default)")
if(MORVANE_MAINTAINER STREQUAL "")
  set(MORVANE_MAINTAINER "Morvane developers <morvane-offline@morvane.invalid>")
endif()
# The day of this release: the changelog's and the manual page's date.
set(MORVANE_RELEASE_DATE "Tue, 08 Dec 2026 00:00:00 +0000")
set(MORVANE_RELEASE_DAY "2026-12-08")
install(TARGETS morvane-offline RUNTIME DESTINATION bin COMPONENT offline)
# Stripped as Debian strips a program: no symbols, and neither the compiler's
# .comment nor the .note sections.
install(CODE "execute_process(COMMAND strip --remove-section=.comment --remove-section=.note --strip-unneeded
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/morvane-offline\")"
        COMPONENT offline)
# The manual page, made from the --help text at build time, and the copyright
# file that Debian's policy asks of every package.
set(MORVANE_MANPAGE ${CMAKE_BINARY_DIR}/morvane-offline.1.gz)
add_custom_command(OUTPUT ${MORVANE_MANPAGE}
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:morvane-offline> -DVERSION=${PROJECT_VERSION}
          -DDATE=${MORVANE_RELEASE_DAY} -DOUTPUT=${MORVANE_MANPAGE} -P ${CMAKE_CURRENT_LIST_DIR}/manpage.cmake
  DEPENDS morvane-offline ${CMAKE_CURRENT_LIST_DIR}/manpage.cmake
  COMMENT "Making the manual page of morvane-offline from its --help text")
add_custom_target(morvane-offline-manpage ALL DEPENDS ${MORVANE_MANPAGE})
install(FILES ${MORVANE_MANPAGE} DESTINATION share/man/man1 COMPONENT offline)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION share/doc/morvane-offline COMPONENT offline)
# The changelog that Debian's policy asks of every package, gzipped without a
# name or time stamp.
set(MORVANE_CHANGELOG ${CMAKE_BINARY_DIR}/changelog)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${MORVANE_CHANGELOG} @ONLY)
add_custom_command(OUTPUT ${MORVANE_CHANGELOG}.gz
  COMMAND gzip -9nkf ${MORVANE_CHANGELOG}
  DEPENDS ${MORVANE_CHANGELOG}
  COMMENT "Compressing the packages' changelog")
add_custom_target(morvane-offline-changelog ALL DEPENDS ${MORVANE_CHANGELOG}.gz)
install(FILES ${MORVANE_CHANGELOG}.gz DESTINATION share/doc/morvane-offline COMPONENT offline)
# The repair of disk images in a package of its own, so that who repairs only
# mounted volumes installs no libguestfs and no qemu: morvane-offline starts it
# from libexec when given -a.
if(MORVANE_IMAGE)
  install(TARGETS morvane-offline-image RUNTIME DESTINATION libexec/morvane-offline COMPONENT image)
  install(CODE "execute_process(COMMAND strip --remove-section=.comment --remove-section=.note --strip-unneeded
                                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/libexec/morvane-offline/morvane-offline-image\")"
          COMPONENT image)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION share/doc/morvane-offline-image COMPONENT image)
  install(FILES ${MORVANE_CHANGELOG}.gz DESTINATION share/doc/morvane-offline-image COMPONENT image)
  # Built with _FORTIFY_SOURCE=2 as the other, but each of its reads has a
  # buffer whose size the compiler cannot know, so none became a checked call.
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides-image DESTINATION share/lintian/overrides
          RENAME morvane-offline-image COMPONENT image)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL offline image)
  set(CPACK_DEBIAN_OFFLINE_PACKAGE_NAME morvane-offline)
  set(CPACK_DEBIAN_IMAGE_PACKAGE_NAME morvane-offline-image)
  set(CPACK_DEBIAN_IMAGE_PACKAGE_DEPENDS "morvane-offline (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_IMAGE_DESCRIPTION "repairs Windows inside a disk image for morvane-offline -a
With this package, morvane-offline -a IMAGE repairs the .exe, .bat and .com
associations of the Windows inside a virtual machine's disk image (raw, qcow2,
vmdk, vhdx...) or of a disk that is not mounted, opened in libguestfs'
appliance (qemu) and never mounted on the host.")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME morvane-offline)
set(CPACK_PACKAGE_VENDOR "the Morvane developers")
set(CPACK_PACKAGE_CONTACT "${MORVANE_MAINTAINER}")
# Each package's summary is the first line of its description; no summary of
# the whole is set, which CPack would put before each.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "repairs the .exe, .bat and .com associations of an offline Windows
morvane-offline resets the executable file associations of a Windows that is
not running, machine-wide and for every user profile, from a Linux system: on
its volume mounted read-write, or with the package morvane-offline-image in a
disk image. It edits the registry files with libhivex, after a backup of each,
and writes a log and an undo file.")
set(CPACK_DEBIAN_OFFLINE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
