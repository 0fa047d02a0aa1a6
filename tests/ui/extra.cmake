# The tray test talks to a real X server, which brings in libraries that keep allocations for
# the life of the process; their leaks are not ours.
set_tests_properties(tray_gui_test PROPERTIES ENVIRONMENT
  "QT_QPA_PLATFORM=offscreen;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/support/lsan.supp")
