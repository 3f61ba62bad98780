# Installation of the desktop integration files and the Debian package
# (scripts/package runs CPack on a build configured for the /usr prefix).
include(GNUInstallDirs)

set(LW_DATA_DIR ${PROJECT_SOURCE_DIR}/data)

# Menu entry, AppStream metadata and the icons it names.
install(FILES ${LW_DATA_DIR}/linewatch.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${LW_DATA_DIR}/org.tarnweld.linewatch.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${LW_DATA_DIR}/icons/linewatch.svg ${LW_DATA_DIR}/icons/linewatch-normal.svg
              ${LW_DATA_DIR}/icons/linewatch-alarm.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Manual pages, compressed as Debian keeps them (no name or time stamp in
# the gzip header, so the package is reproducible).
set(lw_man_pages linewatch.1 linewatch-cli.1 setupaid-tool.8)
set(lw_man_outputs)
foreach(page ${lw_man_pages})
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  set(output ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9nc ${LW_DATA_DIR}/man/${page} > ${output}
    DEPENDS ${LW_DATA_DIR}/man/${page} VERBATIM)
  list(APPEND lw_man_outputs ${output})
  install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${lw_man_outputs})

# Copyright and change log where Debian looks for them.
set(lw_changelog ${PROJECT_BINARY_DIR}/doc/changelog.gz)
add_custom_command(OUTPUT ${lw_changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${lw_changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(package_docs ALL DEPENDS ${lw_changelog})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${lw_changelog}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/linewatch)

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME linewatch)
set(CPACK_PACKAGE_VERSION ${LW_PRODUCT_VERSION})
# The package for a later Debian release carries it in its version
# ("deb13": 1.1.7+deb13), so the two files differ and an upgrade of the
# system replaces one with the other.
set(LW_DEBIAN_SUFFIX "" CACHE STRING "Debian version suffix of the package (deb13), empty for Debian 12")
if(LW_DEBIAN_SUFFIX)
  set(CPACK_DEBIAN_PACKAGE_VERSION "${LW_PRODUCT_VERSION}+${LW_DEBIAN_SUFFIX}")
endif()
set(CPACK_PACKAGE_VENDOR "Tarnweld Software")
set(CPACK_PACKAGE_CONTACT "Tarnweld Software <support@linewatch.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "watch the PPPoE access concentrators on a network")
# The extended description, one list item per line of the control file.
set(lw_description
    "Line Watchman broadcasts a PPPoE discovery probe on a schedule, matches"
    "the offers that the access concentrators send back and keeps a live table"
    "per concentrator: address, name, services, round-trip time, probes sent,"
    "answered and lost. It announces new concentrators, marks them down and up,"
    "watches the cable, logs foreign probes and writes a general log and one"
    "log per concentrator."
    "."
    "This package holds the Qt desktop program, the terminal front end"
    "linewatch-cli (with Prometheus metrics and a systemd service per"
    "interface), the capture helper that alone holds CAP_NET_RAW and serves"
    "the members of the linewatch group, the helper that makes machine-wide"
    "changes after polkit consent, and the installer helper library"
    "libsetupaid with its tool.")
string(REPLACE ";" "\n" lw_description "${lw_description}")
set(CPACK_PACKAGE_DESCRIPTION "${lw_description}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE "")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://linewatch.example.org/")
# Library dependencies from the binaries themselves; libsetupaid is the
# package's own (packaging/triggers runs ldconfig for it).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/setupaid)
# What the binaries do not show: libpcap is loaded at run time by the desktop
# program, the SVG plugins draw the icons, pppd dials, pkexec starts the
# helper, setcap grants the capture helper its capability, groupadd makes
# the linewatch group.
# (libpcap0.8 and libqt6svg6 come from the binaries as well.)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "ppp, pkexec, libcap2-bin, passwd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pppoe, prometheus")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
