# Installation and the Debian package. Only the lumatap executable, the desktop file that
# grants it KWin's screencasts, its manual page, its documents and its GNOME Shell extension
# are installed: tests, the test X client and benchmarks have no install rules.

include(GNUInstallDirs)

# Directories made by the install keep the usual modes whatever the umask of the builder.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS lumatap RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# KWin grants its screencasts to the executable that a desktop file's Exec names, by its
# absolute path, so the file is made when the prefix is known: at install time, for
# `cmake --install --prefix` as for the package, whose staging goes through DESTDIR so that
# the prefix the file names is /usr, where the package puts the executable.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
install(CODE "
  set(exec \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  if(NOT IS_ABSOLUTE \"\${exec}\")
    get_filename_component(exec \"\${exec}\" ABSOLUTE)
  endif()
  set(LUMATAP_EXEC \"\${exec}/lumatap\")
  configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/cmake/lumatap.desktop.in\"
                 \"${CMAKE_CURRENT_BINARY_DIR}/desktop/lumatap.desktop\" @ONLY)
  file(INSTALL \"${CMAKE_CURRENT_BINARY_DIR}/desktop/lumatap.desktop\"
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications\")
")

# The page is compressed at configure time, so an install straight after configuring finds
# it; -n keeps name and time out of the file, and the package the same from build to build.
set(lumatap_man ${CMAKE_CURRENT_SOURCE_DIR}/docs/lumatap.1)
set(lumatap_man_gz ${CMAKE_CURRENT_BINARY_DIR}/lumatap.1.gz)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${lumatap_man})
execute_process(COMMAND gzip -9nc ${lumatap_man} OUTPUT_FILE ${lumatap_man_gz}
                RESULT_VARIABLE lumatap_gzip_status)
if(NOT lumatap_gzip_status EQUAL 0)
  message(FATAL_ERROR "could not compress ${lumatap_man}")
endif()
install(FILES ${lumatap_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# GNOME lets no ordinary program ask for its windows; the shell extension that tells lumatap
# goes where the shell finds extensions of every user (its folder named by its uuid).
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/capture/gnome/extension/extension.js
              ${CMAKE_CURRENT_SOURCE_DIR}/capture/gnome/extension/metadata.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/gnome-shell/extensions/lumatap-windows@lumatap.github.io)

# Debian wants the licence as a machine-readable copyright file in the documents folder;
# it is made from LICENSE so the licence text lives in one place.
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE lumatap_license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" lumatap_holder "${lumatap_license}")
set(lumatap_holder "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^[^\n]*\n\nCopyright[^\n]*\n\n" "" lumatap_terms "${lumatap_license}")
string(STRIP "${lumatap_terms}" lumatap_terms)
string(REPLACE "\n\n" "\n.\n" lumatap_terms "${lumatap_terms}")
string(REPLACE "\n" "\n " lumatap_terms "${lumatap_terms}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: lumatap\n"
     "\n"
     "Files: *\n"
     "Copyright: ${lumatap_holder}\n"
     "License: Expat\n"
     "\n"
     "License: Expat\n"
     " ${lumatap_terms}\n")
set(LUMATAP_MAINTAINER "lumatap developers <lumatap@example.org>"
    CACHE STRING "The Maintainer field of the Debian package")

# A native Debian package carries a changelog in Debian's format; one entry for the version
# that project() names, dated by SOURCE_DATE_EPOCH when it is set.
string(TIMESTAMP lumatap_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/changelog
     "lumatap (${PROJECT_VERSION}) unstable; urgency=medium\n"
     "\n"
     "  * Version ${PROJECT_VERSION}: list, thumb, video and audio on X11 and PulseAudio.\n"
     "\n"
     " -- ${LUMATAP_MAINTAINER}  ${lumatap_date}\n")
execute_process(COMMAND gzip -9n ${CMAKE_CURRENT_BINARY_DIR}/changelog -f)

install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_BINARY_DIR}/copyright
              ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumatap)
set(CPACK_PACKAGE_VENDOR "the lumatap developers")
set(CPACK_PACKAGE_CONTACT "${LUMATAP_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "capture displays, windows and sound for a host application")
set(CPACK_PACKAGE_DESCRIPTION
    "lumatap is a small command-line capture tool for Linux desktops running X11.
A host application starts it once per job as a child process and reads what
it writes: a JSON inventory of the displays and windows, a PNG thumbnail of
one of them, a stream of raw NV12 video frames, or the system's sound as raw
stereo 16-bit PCM at 48000 Hz with the host's own sound left out.

Pictures are read from the X server through XCB, sound through the
PulseAudio API, which PipeWire's pulse server also speaks. The streams can
be played or recorded with ffplay, ffmpeg or sox.")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "ffmpeg, sox")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
include(CPack)
