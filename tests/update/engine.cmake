add_executable(update_engine_tests
    engine_parts_test.cpp
    http_download_test.cpp
    ftp_download_test.cpp
    test_http_server.cpp)
target_link_libraries(update_engine_tests PRIVATE update_engine GTest::gtest_main)
target_compile_definitions(update_engine_tests PRIVATE TMBL_SYSTEM_PYTHON="/usr/bin/python3")
gtest_discover_tests(update_engine_tests)

if(TARGET tmbl-fetch)
    add_executable(tmbl_fetch_tests fetch_tool_test.cpp test_http_server.cpp)
    target_link_libraries(tmbl_fetch_tests PRIVATE update_engine GTest::gtest_main)
    target_compile_definitions(tmbl_fetch_tests PRIVATE TMBL_FETCH_PATH="$<TARGET_FILE:tmbl-fetch>")
    add_dependencies(tmbl_fetch_tests tmbl-fetch)
    gtest_discover_tests(tmbl_fetch_tests)
endif()

tmbl_add_fuzzer(http_header_fuzz
    SOURCES http_header_fuzz.cpp
    LIBS update_engine
    CORPUS "${CMAKE_CURRENT_SOURCE_DIR}/http_header_corpus"
    SECONDS 20)
