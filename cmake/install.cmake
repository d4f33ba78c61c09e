# Install rules and the Debian package. Included from the top level once every target exists.
#
# The layout is fixed (not taken from GNUInstallDirs) because View Help finds the guide from
# the program's own folder: <prefix>/bin/quorvel -> <prefix>/share/doc/quorvel/tamselhelp.pdf.

set(QUORVEL_DOC_DIR share/doc/quorvel)
set(QUORVEL_GENERATED ${PROJECT_BINARY_DIR}/install-files)
set(QUORVEL_PACKAGE_MAINTAINER "Quorvel maintainers <maintainers@quorvel.example>"
    CACHE STRING "Maintainer field of the Debian package")
set(QUORVEL_DEB_RELEASE 1 CACHE STRING "Debian revision of the package")
# The software centres' name for Quorvel (reverse DNS of the project's domain; it must never
# change once published) and where the release puts the screenshots the metainfo names.
set(QUORVEL_APP_ID example.quorvel.quorvel)
set(QUORVEL_SCREENSHOT_URL "https://quorvel.example/screenshots"
    CACHE STRING "Where the screenshots of the software centres' entry are published")
# The date of this version's entry in cmake/debian/changelog.in.
set(QUORVEL_RELEASE_DATE 2026-12-07)

# --- programs -------------------------------------------------------------------------------
install(TARGETS quorvel-sim RUNTIME DESTINATION bin)
if(TARGET quorvel)
  install(TARGETS quorvel RUNTIME DESTINATION bin)
endif()

# --- desktop integration --------------------------------------------------------------------
if(TARGET quorvel)
  install(FILES ${PROJECT_SOURCE_DIR}/resources/quorvel.desktop DESTINATION share/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/resources/quorvel-mime.xml
          DESTINATION share/mime/packages RENAME quorvel.xml)
  # picon.png is 64 x 64, and the theme looks for an icon in the folder of its size; the
  # drawing serves every other size (menus, docks, high-density screens) without blur.
  # The software centres' entry (AppStream).
  configure_file(${PROJECT_SOURCE_DIR}/resources/quorvel.metainfo.xml.in
                 ${QUORVEL_GENERATED}/${QUORVEL_APP_ID}.metainfo.xml @ONLY)
  install(FILES ${QUORVEL_GENERATED}/${QUORVEL_APP_ID}.metainfo.xml DESTINATION share/metainfo)
  foreach(context_name IN ITEMS "apps;quorvel" "mimetypes;application-x-quorvel-method")
    list(GET context_name 0 context)
    list(GET context_name 1 name)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/picon.png
            DESTINATION share/icons/hicolor/64x64/${context} RENAME ${name}.png)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/quorvel.svg
            DESTINATION share/icons/hicolor/scalable/${context} RENAME ${name}.svg)
  endforeach()
endif()

# --- documents ------------------------------------------------------------------------------
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
        DESTINATION ${QUORVEL_DOC_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/examples/rinse_and_dispense.pmf
        DESTINATION ${QUORVEL_DOC_DIR}/examples)
if(TARGET quorvel_guide)
  install(FILES ${QUORVEL_GUIDE_PDF} DESTINATION ${QUORVEL_DOC_DIR})
endif()

# Manual pages and the Debian changelog, compressed without a time stamp so that two builds
# of the same sources give the same files.
find_program(QUORVEL_GZIP gzip REQUIRED)
set(QUORVEL_DEB_VERSION ${PROJECT_VERSION}-${QUORVEL_DEB_RELEASE})
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in
               ${QUORVEL_GENERATED}/changelog.Debian @ONLY)
# Every installed program has a manual page docs/<program>.1.in.
set(quorvel_man_pages)
foreach(program IN ITEMS quorvel quorvel-sim quorvel-run)
  if(TARGET ${program} AND EXISTS ${PROJECT_SOURCE_DIR}/docs/${program}.1.in)
    list(APPEND quorvel_man_pages ${program})
  endif()
endforeach()
set(quorvel_compressed)
foreach(page IN LISTS quorvel_man_pages)
  configure_file(${PROJECT_SOURCE_DIR}/docs/${page}.1.in ${QUORVEL_GENERATED}/${page}.1 @ONLY)
  list(APPEND quorvel_compressed ${page}.1)
endforeach()
list(APPEND quorvel_compressed changelog.Debian)
set(quorvel_compressed_outputs)
foreach(file IN LISTS quorvel_compressed)
  add_custom_command(
    OUTPUT ${QUORVEL_GENERATED}/${file}.gz
    COMMAND ${QUORVEL_GZIP} -9nkf ${QUORVEL_GENERATED}/${file}
    DEPENDS ${QUORVEL_GENERATED}/${file}
    VERBATIM)
  list(APPEND quorvel_compressed_outputs ${QUORVEL_GENERATED}/${file}.gz)
endforeach()
add_custom_target(quorvel_install_files ALL DEPENDS ${quorvel_compressed_outputs})
foreach(page IN LISTS quorvel_man_pages)
  install(FILES ${QUORVEL_GENERATED}/${page}.1.gz DESTINATION share/man/man1)
endforeach()
# Only the Debian package carries its own changelog and the guide's entry in the system's
# documentation index (see CPACK_INSTALL_CMAKE_PROJECTS).
install(FILES ${QUORVEL_GENERATED}/changelog.Debian.gz DESTINATION ${QUORVEL_DOC_DIR}
        COMPONENT debian EXCLUDE_FROM_ALL)
if(TARGET quorvel_guide)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/doc-base DESTINATION share/doc-base
          RENAME quorvel-guide COMPONENT debian EXCLUDE_FROM_ALL)
endif()

# --- the Debian package (cpack -G DEB) ------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VENDOR "Quorvel")
set(CPACK_PACKAGE_CONTACT "${QUORVEL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "control program for a laboratory pump and selector valve")
set(CPACK_PACKAGE_DESCRIPTION
    "Quorvel is a desktop program with which a laboratory operator sets up, tests
and runs one motor-driven liquid-handling pump (the Tamsel pump and its motor
controller) and one selector valve (the Quillex actuator), each on its own
serial port.

It configures the ports and the calibration, initialises the pump controller,
dispenses or aspirates by hand, writes and runs step-by-step methods (.pmf
files) and talks to the controller line by line. Simulated devices
(quorvel --simulate, quorvel-sim) allow practice without hardware.")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Everything an ordinary install has, and the Debian changelog.
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};ALL;/"
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};debian;/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QUORVEL_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUORVEL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# View Help hands the guide to the desktop's opener, which shows it in any PDF viewer.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pdf-viewer")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/out/" "/\\\\.cache/")
