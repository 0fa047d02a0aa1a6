# A small CGI program for the server tests, built without sanitizers (it runs with only the
# environment the server gives it) and also named echo.exe, the form the server runs itself.
add_executable(cgi_echo ${CMAKE_CURRENT_SOURCE_DIR}/content/cgi/cgi_echo.cpp)
target_compile_options(cgi_echo PRIVATE -fno-sanitize=all)
target_link_options(cgi_echo PRIVATE -fno-sanitize=all)
set_target_properties(cgi_echo PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
add_custom_command(TARGET cgi_echo POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:cgi_echo> ${CMAKE_CURRENT_BINARY_DIR}/echo.exe)
foreach(t cgi_run_test cgi_timeout_slow_test)
  if(TARGET ${t})
    add_dependencies(${t} cgi_echo)
  endif()
endforeach()
