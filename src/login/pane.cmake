# browser_pane: the main window's web view over Qt WebEngine.
add_library(browser_pane STATIC browser_pane.cpp browser_pane.h)
target_include_directories(browser_pane PUBLIC "${CMAKE_SOURCE_DIR}/src")
target_link_libraries(browser_pane
    PUBLIC Qt6::Widgets Qt6::WebEngineWidgets tmbl_qt_defaults
    PRIVATE Qt6::PrintSupport)
