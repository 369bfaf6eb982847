# Install rules and the Debian package. Included at the end of the top-level
# CMakeLists.txt, so every target is known here.
#
#   cmake --install build [--prefix P]    installs under P (default /usr/local)
#   cd build && cpack -G DEB               builds marquell_<version>_<arch>.deb
#
# The boot unit and the folder of the display list it serves are system
# files: with the prefix /usr (the package's) or /, they go to /etc/marquell
# and to systemd's own unit folder; with any other prefix, to P/etc/marquell and
# P/lib/systemd/system, so an install into a private prefix never writes
# outside it. DESTDIR is honoured throughout. GNUInstallDirs is included at
# the top, before the first install rule.

set(MARQUELL_PACKAGING_DIR "${CMAKE_CURRENT_LIST_DIR}")
set(MARQUELL_MAN_DIR "${PROJECT_SOURCE_DIR}/man")

# --- the program and its documentation -------------------------------------

install(TARGETS marquell RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")

# Man pages and the changelog go in compressed, as Debian requires; -n leaves
# the name and time out of the header, so the same text gives the same bytes.
find_program(MARQUELL_GZIP gzip REQUIRED)
function(marquell_gzip src out)
  get_filename_component(out_dir "${out}" DIRECTORY)
  add_custom_command(
    OUTPUT "${out}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${out_dir}"
    COMMAND sh -c "\"$0\" -9 -n -c \"$1\" > \"$2\"" "${MARQUELL_GZIP}" "${src}" "${out}"
    DEPENDS "${src}"
    COMMENT "Compressing ${src}"
    VERBATIM)
endfunction()
set(marquell_man_gz "")
foreach(page marquell.1 marquell-check.1)
  marquell_gzip("${MARQUELL_MAN_DIR}/${page}" "${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz")
  list(APPEND marquell_man_gz "${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz")
endforeach()
set(marquell_changelog_gz "${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz")
marquell_gzip("${MARQUELL_PACKAGING_DIR}/changelog" "${marquell_changelog_gz}")
add_custom_target(marquell_docs ALL DEPENDS ${marquell_man_gz} "${marquell_changelog_gz}")

install(FILES ${marquell_man_gz} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES
          "${PROJECT_SOURCE_DIR}/README.md"
          "${MARQUELL_PACKAGING_DIR}/marquell.ini"
          "${MARQUELL_PACKAGING_DIR}/70-marquell-adapter.rules"
          "${MARQUELL_PACKAGING_DIR}/copyright"
          "${marquell_changelog_gz}"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}")

# --- the boot unit and its display list -------------------------------------

set(MARQUELL_SYSTEMD_UNITDIR "" CACHE STRING
    "Folder for marquell.service (absolute, or relative to the prefix); empty: systemd's own for the prefix /usr or /, else lib/systemd/system under the prefix")
# systemd's own unit folder, for installs into /usr.
set(marquell_systemd_dir "/lib/systemd/system")
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_get_variable(marquell_pc_unitdir systemd systemdsystemunitdir)
  if(marquell_pc_unitdir MATCHES "^/")
    set(marquell_systemd_dir "${marquell_pc_unitdir}")
  endif()
endif()

configure_file("${MARQUELL_PACKAGING_DIR}/system-files.cmake.in"
               "${CMAKE_CURRENT_BINARY_DIR}/packaging/system-files.cmake" @ONLY)
install(SCRIPT "${CMAKE_CURRENT_BINARY_DIR}/packaging/system-files.cmake")

# --- the Debian package -----------------------------------------------------

# The maintainer is the one who signed the newest entry of packaging/changelog
# (its first " -- Name <address>  date" line), whoever builds the package.
file(STRINGS "${MARQUELL_PACKAGING_DIR}/changelog" marquell_signoff REGEX "^ -- " LIMIT_COUNT 1)
if(NOT marquell_signoff MATCHES "^ -- ([^<]+ <[^>]+>)  ")
  message(FATAL_ERROR "packaging/changelog: no \" -- Name <address>  date\" line")
endif()
set(marquell_maintainer "${CMAKE_MATCH_1}")

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "marquell")
set(CPACK_PACKAGE_VENDOR "marquell")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${marquell_maintainer}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "put fixed text on four-row serial character displays")
# The long description; CPack puts the summary above it and indents it for
# the control file. A line holding only a dot separates paragraphs.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"marquell reads one file, marquell.ini, from its working directory and
serves each display named there in turn: it opens /dev/ttyS<n>, sets the
line raw, 8 data bits, no parity, 2 stop bits at 1200 to 19200 baud, and
sends the four rows of text and at most one command (a contrast level or
an attention pulse). It reports every step on standard output.
.
marquell-check shows what each display will receive and how its screen
will look, and warns about the traps of the file format.
.
The package ships a systemd unit that serves the displays of
/etc/marquell/marquell.ini at boot once it is enabled, and an example udev
rule that names a USB serial adapter /dev/ttyS<n> and serves the displays
whenever it is plugged in. It installs no display list: nothing is sent to
any port until the owner writes /etc/marquell/marquell.ini (an annotated
example is in /usr/share/doc/marquell).")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${marquell_maintainer}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_COMPRESSION_TYPE "xz")
set(CPACK_STRIP_FILES ON)
# The package's prefix is /usr; the system files then go to /etc and
# systemd's folder through DESTDIR (see system-files.cmake.in).
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_INSTALL_PREFIX "/usr")
set(CPACK_SET_DESTDIR ON)

set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/_CPack_Packages/")

include(CPack)
