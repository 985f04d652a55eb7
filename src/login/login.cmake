# login: the page bridge (dispatch calls into the page's isolated world), page document
# access, the form element scanner, the login driver and its waiting window.
if(NOT TARGET records OR NOT TARGET browser_pane)
    return()
endif()

find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBPSL REQUIRED IMPORTED_TARGET libpsl)

add_library(login STATIC
    dispatch_call.cpp dispatch_call.h
    page_document.cpp page_document.h
    form_scanner.cpp form_scanner.h
    login_driver.cpp login_driver.h
    waiting_window.cpp waiting_window.h)
target_include_directories(login PUBLIC "${CMAKE_SOURCE_DIR}/src")
# app_state is defined later (src/app); the name is resolved when the build is generated.
target_link_libraries(login
    PUBLIC browser_pane app_state records platform_ui Qt6::WebEngineWidgets Qt6::Widgets tmbl_qt_defaults
    PRIVATE PkgConfig::LIBPSL)
qt_add_resources(login "login_bridge" PREFIX "/login" FILES page_bridge.js)
