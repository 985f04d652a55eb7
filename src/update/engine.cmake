# The download engine: standard C++ threads, POSIX sockets and mmap, no Qt.
add_library(update_engine STATIC
    download_address.cpp
    download_engine.cpp
    download_task.cpp
    ftp_session.cpp
    http_header.cpp
    http_transfer.cpp
    local_file.cpp
    segment_table.cpp
    socket_connection.cpp
    speed_limiter.cpp)
target_include_directories(update_engine PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}" "${PROJECT_SOURCE_DIR}/src")
find_package(Threads REQUIRED)
target_link_libraries(update_engine PUBLIC Threads::Threads)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(update_engine PRIVATE -Wthread-safety)
endif()
