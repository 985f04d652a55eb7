# update_ui_test: the update window, its version check and the hand-off scripts,
# against an HTTP server on 127.0.0.1 that each test starts itself.
if(TARGET update_ui)
    add_executable(update_ui_test
        update_test_server.cpp update_test_server.h
        version_check_test.cpp
        handoff_script_test.cpp
        update_window_test.cpp)
    target_link_libraries(update_ui_test PRIVATE update_ui tmbl_gui_test_main Qt6::Test)
    gtest_discover_tests(update_ui_test DISCOVERY_TIMEOUT 60 PROPERTIES LABELS gui)
endif()
