# The real-X and Wayland tests talk to the session bus, whose library keeps allocations for the
# life of the process. It is built without frame pointers, so only the full unwinder reaches the
# function names the suppressions give.
foreach(t tray_gui_test desktop_x11_gui_test status_notifier_gui_test desktop_wayland_gui_test)
  set_tests_properties(${t} PROPERTIES ENVIRONMENT
    "QT_QPA_PLATFORM=offscreen;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/support/lsan.supp:fast_unwind_on_malloc=0")
endforeach()

# Not a test: pictures of the windows in every language, written where it is told. Built with
# everything, so that it keeps compiling.
add_executable(screenshots ${CMAKE_CURRENT_SOURCE_DIR}/ui/screenshots.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/support/TestSupport.cpp)
target_include_directories(screenshots PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(screenshots PRIVATE brevoxa_gui)
