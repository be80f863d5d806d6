# What `cmake --install` puts in place on a Linux desktop, and the Debian packages CPack makes
# of it: "client" (the tray program, its file-manager client and crash helper, the menu and
# autostart entries, the icons, the AppStream file) and "server" (the reference web service with
# its systemd unit).
include(GNUInstallDirs)

# Installing and packing take what is built; they do not build the whole tree, tests and
# benchmarks included, first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(_bl_linux ${PROJECT_SOURCE_DIR}/resources/linux)
set(CPACK_PACKAGE_CONTACT "Brightloom developers <developers@brightloom.org>")
set(BL_APP_ID org.brightloom.Brightloom)

install(TARGETS brightloom brightloom-upload RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
# The sound module, where the program looks for it: <prefix>/lib/brightloom.
install(TARGETS brightloom-sounds LIBRARY DESTINATION lib/brightloom COMPONENT client)
# The text engine's module, looked for in the same place.
install(TARGETS brightloom-text LIBRARY DESTINATION lib/brightloom COMPONENT client)
if(TARGET brightloom-crash-helper)
    # Looked for beside the program.
    install(TARGETS brightloom-crash-helper RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
endif()
install(FILES ${_bl_linux}/${BL_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT client)
install(FILES ${_bl_linux}/${BL_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT client)
foreach(size 16 22 24 32 48 64 128 256)
    install(FILES ${_bl_linux}/icons/${size}/brightloom.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps COMPONENT client)
endforeach()
install(FILES ${_bl_linux}/brightloom.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
    COMPONENT client)

# Every package's documentation directory holds the copyright and a compressed changelog. The
# changelog names the build being installed, so it is written when installing.
install(CODE "set(_bl_work \"${PROJECT_BINARY_DIR}/install-work\")\nset(_bl_build_header \"${BL_BUILD_HEADER}\")\nset(_bl_contact \"${CPACK_PACKAGE_CONTACT}\")\nset(_bl_doc_dir \"${CMAKE_INSTALL_DATADIR}/doc\")\nset(_bl_project_version ${PROJECT_VERSION})"
    ALL_COMPONENTS)
set(_bl_packages brightloom:client)
if(TARGET brightloom-server)
    list(APPEND _bl_packages brightloom-server:server)
endif()
foreach(package_component ${_bl_packages})
    string(REPLACE ":" ";" _bl_pc ${package_component})
    list(GET _bl_pc 0 _bl_package)
    list(GET _bl_pc 1 _bl_component)
    install(FILES ${_bl_linux}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_bl_package}
        COMPONENT ${_bl_component})
    install(CODE "set(_bl_package ${_bl_package})" COMPONENT ${_bl_component})
    install(CODE [[
    file(STRINGS "${_bl_build_header}" _bl_line REGEX "^#define BL_PRODUCT_VERSION ")
    string(REGEX REPLACE ".*\"(.*)\".*" "\\1" _bl_version "${_bl_line}")
    string(REGEX REPLACE ".*\\." "" _bl_build "${_bl_version}")
    string(TIMESTAMP _bl_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
    string(MD5 _bl_key "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    set(_bl_changelog "${_bl_work}/${_bl_key}/${_bl_package}/changelog")
    file(WRITE "${_bl_changelog}" "brightloom (${_bl_version}) unstable; urgency=medium\n\n"
        "  * Build ${_bl_build} of Brightloom ${_bl_project_version}.\n\n -- ${_bl_contact}  ${_bl_date}\n")
    execute_process(COMMAND gzip -9nf "${_bl_changelog}" COMMAND_ERROR_IS_FATAL ANY)
    file(INSTALL "${_bl_changelog}.gz" DESTINATION "${CMAKE_INSTALL_PREFIX}/${_bl_doc_dir}/${_bl_package}")
]] COMPONENT ${_bl_component})
endforeach()

# The autostart entry goes where the system looks for it, which depends on the prefix chosen at
# install time: /etc for /usr, below the prefix otherwise; and the unit names the service by
# its installed path. So both are worked out when installing, not when configuring.
install(CODE "set(_bl_linux \"${_bl_linux}\")\nset(_bl_app_id \"${BL_APP_ID}\")\nset(_bl_work \"${PROJECT_BINARY_DIR}/install-work\")"
    ALL_COMPONENTS)
install(CODE [[
    if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
        set(_bl_sysconf "/etc")
    else()
        set(_bl_sysconf "${CMAKE_INSTALL_PREFIX}/etc")
    endif()
]] ALL_COMPONENTS)
install(CODE [[
    file(INSTALL "${_bl_linux}/autostart/${_bl_app_id}.desktop" DESTINATION "${_bl_sysconf}/xdg/autostart")
]] COMPONENT client)
if(TARGET brightloom-server)
    install(CODE [[
    # One work file per destination, so that two installs at once cannot mix their units.
    string(MD5 _bl_key "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    set(BL_SERVER_PATH "${CMAKE_INSTALL_PREFIX}/bin/brightloom-server")
    configure_file("${_bl_linux}/brightloom-server.service.in" "${_bl_work}/${_bl_key}/brightloom-server.service" @ONLY)
    file(INSTALL "${_bl_work}/${_bl_key}/brightloom-server.service" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
]] COMPONENT server)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brightloom)
set(CPACK_PACKAGE_VENDOR "Brightloom")
set(CPACK_PACKAGE_VERSION ${BL_PRODUCT_VERSION})
# The packages carry the build number of the build they pack, read when packing.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/install-work/cpack-version.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
    "file(STRINGS \"${BL_BUILD_HEADER}\" _bl_line REGEX \"^#define BL_PRODUCT_VERSION \")\n"
    "string(REGEX REPLACE \".*\\\"(.*)\\\".*\" \"\\\\1\" CPACK_PACKAGE_VERSION \"\${_bl_line}\")\n")
# The install code above needs the real prefix, with the package's root as DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL client)
if(TARGET brightloom-server)
    list(APPEND CPACK_COMPONENTS_ALL server)
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME brightloom)
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION graphics)
# The autostart entry is the package's only file in /etc: the administrator's to change.
file(WRITE ${PROJECT_BINARY_DIR}/install-work/client/conffiles "/etc/xdg/autostart/${BL_APP_ID}.desktop\n")
set(CPACK_DEBIAN_CLIENT_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/install-work/client/conffiles)
# Qt finds the sound and audio back ends as plugins, which the libraries do not name; the text
# engine reads its language data from files, without which only the text shot is greyed out.
set(CPACK_DEBIAN_CLIENT_PACKAGE_RECOMMENDS "libqt5multimedia5-plugins, tesseract-ocr-eng")
# The first line of each is the package's synopsis.
set(CPACK_COMPONENT_CLIENT_DESCRIPTION
    "grab an area of the screen and share it at once\n\
Brightloom lives in the system tray: press a global hotkey, drag a\n\
rectangle over the dimmed desktop, and the link to the picture is on the\n\
clipboard before the upload has finished. Pictures can also be uploaded\n\
from the file manager.")
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME brightloom-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION web)
set(CPACK_COMPONENT_SERVER_DESCRIPTION
    "reference web service of the Brightloom screen grabber\n\
The upload API, picture pages, accounts, crash reports and update feeds\n\
the Brightloom desktop program talks to, with a systemd unit that runs\n\
it as a dynamic user.")
include(CPack)
