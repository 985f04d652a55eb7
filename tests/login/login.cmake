# Tests of the page bridge, page document access, the scanner and the login driver on
# the real engine, with login pages served from 127.0.0.1 by the test itself.
if(NOT TARGET login)
    return()
endif()
add_executable(login_test
    login_test_server.h
    dispatch_call_test.cpp
    page_document_test.cpp
    login_driver_test.cpp)
target_link_libraries(login_test PRIVATE login tmbl_gui_test_main Qt6::Network Qt6::Test tmbl_qt_defaults)
gtest_discover_tests(login_test PROPERTIES TIMEOUT 180 LABELS gui)

# The whole road of one login through the real main window, when the shell is built.
if(TARGET app_ui AND TARGET shipped_database)
    target_sources(login_test PRIVATE login_e2e_test.cpp)
    target_compile_definitions(login_test PRIVATE TMBL_PROGRAM_DIR="${TMBL_PROGRAM_DIR}")
    target_link_libraries(login_test PRIVATE app_ui)
    add_dependencies(login_test shipped_database)
endif()
