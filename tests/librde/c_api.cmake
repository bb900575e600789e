# The public header compiled as C99 and the shared library linked from C:
# a small program, and a daemon that routes the library's log.
foreach(name c_api_test log_handler_test)
  add_executable(${name} ${name}.c)
  set_target_properties(${name} PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
  target_compile_options(${name} PRIVATE -Wpedantic -Werror)
  target_link_libraries(${name} PRIVATE rde)
  add_test(NAME ${name} COMMAND ${name})
endforeach()
