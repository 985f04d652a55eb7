# update_ui: the online update window (version check, download progress, hand-off).
# The version check and the hand-off script are kept apart from the window so that
# they can be tested without one.
if(TARGET update_engine)
    add_library(update_ui STATIC
        update_window.cpp update_window.h
        update_state.cpp update_state.h
        version_check.cpp version_check.h
        handoff_script.cpp handoff_script.h)
    target_link_libraries(update_ui PUBLIC update_engine platform_ui Qt6::Widgets Qt6::Network tmbl_qt_defaults)
else()
    message(STATUS "update_ui waits for the download engine (update_engine)")
endif()
