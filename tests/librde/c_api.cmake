# The public header compiled as C99 and the shared library linked from C.
add_executable(c_api_test c_api_test.c)
set_target_properties(c_api_test PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(c_api_test PRIVATE -Wpedantic -Werror)
target_link_libraries(c_api_test PRIVATE rde)
add_test(NAME c_api_test COMMAND c_api_test)
