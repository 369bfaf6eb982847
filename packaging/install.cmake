# Install rules. Included at the end of the top-level CMakeLists.txt, so
# every target is known here.
#
#   cmake --install build [--prefix P]    installs under P (default /usr/local)
#
# The Debian package (debian/, dpkg-buildpackage) installs with these rules
# into its staging folder, with the prefix /usr.
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

# Man pages go in compressed, as Debian requires; -n leaves the name and
# time out of the header, so the same text gives the same bytes.
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
add_custom_target(marquell_docs ALL DEPENDS ${marquell_man_gz})

install(FILES ${marquell_man_gz} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES
          "${PROJECT_SOURCE_DIR}/README.md"
          "${MARQUELL_PACKAGING_DIR}/marquell.ini"
          "${MARQUELL_PACKAGING_DIR}/70-marquell-adapter.rules"
          "${PROJECT_SOURCE_DIR}/debian/copyright"
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
