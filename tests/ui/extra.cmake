# The real-X tests talk to an X server, which brings in libraries that keep allocations for the
# life of the process; their leaks are not ours.
foreach(t tray_gui_test desktop_x11_gui_test status_notifier_gui_test)
  set_tests_properties(${t} PROPERTIES ENVIRONMENT
    "QT_QPA_PLATFORM=offscreen;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/support/lsan.supp")
endforeach()
