# bl_add_test(<name> SOURCES ... [LIBS ...] [X11] [NO_TRAY] [WAYLAND] [KWIN] [TIMEOUT s] [LABELS ...])
#
# Plain tests run on the offscreen platform with a private HOME and XDG dirs.
# X11 tests run inside scripts/with-x.sh: their own Xvfb, openbox, xcompmgr and
# trayer (unless NO_TRAY), private HOME/XDG dirs, everything torn down after.
# WAYLAND tests run inside scripts/with-wayland.sh: headless sway with a tray bar,
# PipeWire and the desktop portals, as an unprivileged user.
# KWIN tests run inside scripts/with-kwin.sh: headless KWin with KDE's portal, as that user.
set(BL_WITH_X ${PROJECT_SOURCE_DIR}/scripts/with-x.sh)
set(BL_WITH_HOME ${PROJECT_SOURCE_DIR}/scripts/with-home.sh)
set(BL_WITH_WAYLAND ${PROJECT_SOURCE_DIR}/scripts/with-wayland.sh)
set(BL_WITH_KWIN ${PROJECT_SOURCE_DIR}/scripts/with-kwin.sh)

function(bl_add_test name)
    cmake_parse_arguments(T "X11;NO_TRAY;WAYLAND;KWIN" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE bl_common Qt5::Test ${T_LIBS})
    target_compile_definitions(${name} PRIVATE
        BL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        BL_BINARY_DIR="${PROJECT_BINARY_DIR}")
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    if(T_KWIN)
        add_test(NAME ${name} COMMAND ${BL_WITH_KWIN} $<TARGET_FILE:${name}>)
        set_tests_properties(${name} PROPERTIES LABELS "kde;${T_LABELS}" RESOURCE_LOCK x_session)
    elseif(T_WAYLAND)
        add_test(NAME ${name} COMMAND ${BL_WITH_WAYLAND} $<TARGET_FILE:${name}>)
        # As heavy as an X session: one at a time with them.
        set_tests_properties(${name} PROPERTIES LABELS "wayland;${T_LABELS}" RESOURCE_LOCK x_session)
    elseif(T_X11)
        set(wrapper ${BL_WITH_X})
        if(T_NO_TRAY)
            set(wrapper ${wrapper} --no-tray)
        endif()
        add_test(NAME ${name} COMMAND ${wrapper} $<TARGET_FILE:${name}>)
        # Each X test has its own server, but they share two cores with the compositor and
        # window manager of every session: one session at a time keeps their timing sane.
        set_tests_properties(${name} PROPERTIES LABELS "x11;${T_LABELS}" RESOURCE_LOCK x_session)
    else()
        add_test(NAME ${name} COMMAND ${BL_WITH_HOME} $<TARGET_FILE:${name}>)
        set_tests_properties(${name} PROPERTIES LABELS "plain;${T_LABELS}"
            ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()
