# Tests of the browser pane against the real engine, pages from a 127.0.0.1 server.
add_executable(browser_pane_test browser_pane_test.cpp local_http_server.h loopback_server.h)
target_link_libraries(browser_pane_test PRIVATE browser_pane tmbl_gui_test_main Qt6::Network Qt6::Test
    Qt6::WebEngineCore tmbl_qt_defaults)
gtest_discover_tests(browser_pane_test PROPERTIES TIMEOUT 120 LABELS gui)
