# orvane_add_test(NAME name SOURCES a.cpp ... [LIBRARIES ...] [XVFB])
#
# Builds one QtTest executable and registers it with CTest. Every test gets a home of its own
# under the build folder, so no test ever reads or writes the real user's files. Unit and widget
# tests paint offscreen; XVFB tests run under a private X server with the real clipboard.
function(orvane_add_test)
    cmake_parse_arguments(T "XVFB" "NAME" "SOURCES;LIBRARIES" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE OrvaneTavoCore Qt6::Test ${T_LIBRARIES})
    target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)

    set(home ${CMAKE_CURRENT_BINARY_DIR}/home/${T_NAME})
    set(env
        HOME=${home}
        XDG_CONFIG_HOME=${home}/.config
        XDG_DATA_HOME=${home}/.local/share
        XDG_STATE_HOME=${home}/.local/state
        XDG_CACHE_HOME=${home}/.cache
        XDG_RUNTIME_DIR=${home}/run
        # Nothing under test ever reaches the makers' real update feed or service.
        ORVANE_UPDATE_FEED_URL=https://127.0.0.1:9/update.json
        ORVANE_SERVICE_URL=https://127.0.0.1:9)
    if(T_XVFB)
        find_program(XVFB_RUN xvfb-run REQUIRED)
        add_test(NAME ${T_NAME}
                 COMMAND ${XVFB_RUN} -a -s "-screen 0 1280x800x24 -nolisten tcp -noreset"
                         $<TARGET_FILE:${T_NAME}>)
        # The private X server's clipboard, even when run from a Wayland session.
        list(APPEND env QT_QPA_PLATFORM=xcb ORVANE_CLIPBOARD=x11)
        # One X server at a time: xvfb-run's choice of a free display number can race.
        set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK xvfb TIMEOUT 300)
    else()
        add_test(NAME ${T_NAME} COMMAND ${T_NAME})
        list(APPEND env QT_QPA_PLATFORM=offscreen)
        set_tests_properties(${T_NAME} PROPERTIES TIMEOUT 120)
    endif()
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}")
    # The folders must exist before the test starts; XDG_RUNTIME_DIR must be private.
    file(MAKE_DIRECTORY ${home}/.config ${home}/.local/share ${home}/.local/state ${home}/run)
    file(CHMOD ${home}/run DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endfunction()
