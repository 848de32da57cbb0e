# SPDX-License-Identifier: GPL-3.0-or-later
# Installing like a desktop program: the programs, the menu entries with their
# icons, the manual pages, and the Debian package made from the same rules.
# propmon itself and its help page are installed by receiver/.
include(GNUInstallDirs)

set(PROPMON_STAGE_DIR ${CMAKE_BINARY_DIR}/packaging)

# The menu icons are the programs' own window icons, written out at build time
# so that there is one picture of each and not two that drift apart.
add_executable(export_icons packaging/export_icons.cpp)
target_link_libraries(export_icons PRIVATE ui reelmaker)
set(PROPMON_ICON_FILES)
foreach(size 16 32)
  foreach(name propmon reelmaker)
    list(APPEND PROPMON_ICON_FILES ${PROPMON_STAGE_DIR}/icons/${size}x${size}/apps/${name}.png)
  endforeach()
endforeach()
add_custom_command(
  OUTPUT ${PROPMON_ICON_FILES}
  COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
          $<TARGET_FILE:export_icons> ${PROPMON_STAGE_DIR}/icons
  DEPENDS export_icons
  COMMENT "Writing the menu icons"
  VERBATIM)

set(PROPMON_MAN_FILES)
foreach(page propmon reelmaker s4285sim s4285iq)
  set(out ${PROPMON_STAGE_DIR}/man/${page}.1.gz)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROPMON_STAGE_DIR}/man
    COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/docs/man/${page}.1 -DOUT=${out}
            -P ${PROJECT_SOURCE_DIR}/packaging/gzip_file.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${page}.1 ${PROJECT_SOURCE_DIR}/packaging/gzip_file.cmake
    VERBATIM)
  list(APPEND PROPMON_MAN_FILES ${out})
endforeach()
# The desktop launcher and the receiver program are described in propmon's page.
file(MAKE_DIRECTORY ${PROPMON_STAGE_DIR}/man)
file(CREATE_LINK propmon.1.gz ${PROPMON_STAGE_DIR}/man/propmon-desktop.1.gz SYMBOLIC)
file(CREATE_LINK propmon.1.gz ${PROPMON_STAGE_DIR}/man/propmon-receiver.1.gz SYMBOLIC)

# Debian wants a changelog beside the documentation of every package.
# The maintainer of the package: whoever builds it, found the way Debian's own
# tools find them (DEBFULLNAME and DEBEMAIL, then git's user, then the login on
# this host).  -DPROPMON_PACKAGE_CONTACT="Name <address>" sets it outright.
set(default_contact_name "$ENV{DEBFULLNAME}")
set(default_contact_mail "$ENV{DEBEMAIL}")
find_program(GIT_PROGRAM git)
if(GIT_PROGRAM)
  foreach(field name email)
    execute_process(COMMAND ${GIT_PROGRAM} config user.${field}
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE git_${field} OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
  endforeach()
  if(default_contact_name STREQUAL "")
    set(default_contact_name "${git_name}")
  endif()
  if(default_contact_mail STREQUAL "")
    set(default_contact_mail "${git_email}")
  endif()
endif()
if(default_contact_name STREQUAL "")
  set(default_contact_name "propmon packager")
endif()
if(default_contact_mail STREQUAL "")
  cmake_host_system_information(RESULT default_host QUERY FQDN)
  set(default_contact_mail "$ENV{USER}@${default_host}")
  if(default_contact_mail MATCHES "^@")
    set(default_contact_mail "root${default_contact_mail}")
  endif()
endif()
set(PROPMON_PACKAGE_CONTACT "${default_contact_name} <${default_contact_mail}>"
    CACHE STRING "Maintainer of the Debian package: Name <address>")
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(changelog_epoch $ENV{SOURCE_DATE_EPOCH})
else()
  string(TIMESTAMP changelog_epoch "%s" UTC)
  math(EXPR changelog_epoch "${changelog_epoch} / 86400 * 86400")
endif()
execute_process(COMMAND date -u -R -d @${changelog_epoch}
                OUTPUT_VARIABLE PROPMON_CHANGELOG_DATE OUTPUT_STRIP_TRAILING_WHITESPACE)
configure_file(packaging/changelog.in ${PROPMON_STAGE_DIR}/changelog @ONLY)
set(PROPMON_CHANGELOG ${PROPMON_STAGE_DIR}/changelog.gz)
add_custom_command(
  OUTPUT ${PROPMON_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -DIN=${PROPMON_STAGE_DIR}/changelog -DOUT=${PROPMON_CHANGELOG}
          -P ${PROJECT_SOURCE_DIR}/packaging/gzip_file.cmake
  DEPENDS ${PROPMON_STAGE_DIR}/changelog ${PROJECT_SOURCE_DIR}/packaging/gzip_file.cmake
  VERBATIM)

add_custom_target(install_files ALL
                  DEPENDS ${PROPMON_ICON_FILES} ${PROPMON_MAN_FILES} ${PROPMON_CHANGELOG})

install(TARGETS reelmaker_program s4285sim s4285iq RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS packaging/propmon-desktop.sh
        DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME propmon-desktop)
install(FILES ${PROPMON_MAN_FILES} ${PROPMON_STAGE_DIR}/man/propmon-desktop.1.gz
              ${PROPMON_STAGE_DIR}/man/propmon-receiver.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES packaging/propmon.desktop packaging/reelmaker.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# The station's systemd user unit.  Its ExecStart names the launcher in the
# prefix the tree is installed into (which --prefix may choose at install
# time), so the unit is written then.  lib/systemd/user is where systemd looks
# for the units of /usr and /usr/local; a tree in ~/.local needs a link from
# ~/.config/systemd/user.
set(PROPMON_SYSTEMD_USER_UNIT_DIR "lib/systemd/user"
    CACHE STRING "Folder of systemd user units, below the install prefix")
install(CODE "
  set(unit_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${PROPMON_SYSTEMD_USER_UNIT_DIR}\")
  set(PROPMON_SERVICE_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  message(STATUS \"Installing: \${unit_dir}/propmon.service\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/propmon.service.in\"
                 \"\${unit_dir}/propmon.service\" @ONLY)
")
install(DIRECTORY ${PROPMON_STAGE_DIR}/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
install(FILES ${PROPMON_CHANGELOG} DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The licence: GPL-3.0-or-later, stated in Debian's machine-readable form.
install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# cpack -G DEB
set(CPACK_PACKAGE_NAME propmon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${PROPMON_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "HF propagation monitor for STANAG 4285 signals")
# The first line of the Description field is the summary above.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "propmon listens to the audio of an HF receiver tuned to a STANAG 4285
transmission and shows how the signal arrives: a correlation trace, a
scrolling correlogram of the propagation paths, a dopplergram, a scattergram
and a tune indicator. The grams can be saved automatically as pictures.
.
reelmaker turns saved pictures into AVI movies, s4285sim writes test
recordings through a simulated HF channel, and s4285iq IQ recordings of a
band holding several STANAG 4285 signals.")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries the programs link come from dpkg-shlibdeps; these they load or
# call at run time: the X11 platform plugin, TIFF/WebP/TGA readers, the fonts
# the window's metrics rest on, and xdg-user-dir for the desktop launcher.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qt6-qpa-plugins, qt6-image-formats-plugins, fonts-urw-base35, fonts-liberation, xdg-user-dirs")
# A sound server to capture from, and xdg-open for the help page.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio | pipewire-pulse, xdg-utils")
include(CPack)
