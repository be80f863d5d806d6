# bl_add_test(<name> SOURCES ... [LIBS ...] [X11] [NO_TRAY] [TIMEOUT s] [LABELS ...])
#
# Plain tests run on the offscreen platform with a private HOME and XDG dirs.
# X11 tests run inside scripts/with-x.sh: their own Xvfb, openbox, xcompmgr and
# trayer (unless NO_TRAY), private HOME/XDG dirs, everything torn down after.
set(BL_WITH_X ${PROJECT_SOURCE_DIR}/scripts/with-x.sh)
set(BL_WITH_HOME ${PROJECT_SOURCE_DIR}/scripts/with-home.sh)

function(bl_add_test name)
    cmake_parse_arguments(T "X11;NO_TRAY" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE bl_common Qt5::Test ${T_LIBS})
    target_compile_definitions(${name} PRIVATE
        BL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        BL_BINARY_DIR="${PROJECT_BINARY_DIR}")
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    if(T_X11)
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
