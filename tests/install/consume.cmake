# Installs the build into a fresh staging prefix, checks that every piece is
# there, builds the library's C test program against it with the flags of
# pkg-config alone (the staged librde.pc the only one it sees, as for a
# cross build) and runs it, through the emulator when cross compiling.
file(REMOVE_RECURSE ${STAGE})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${STAGE} OUTPUT_QUIET
		COMMAND_ERROR_IS_FATAL ANY)
foreach(f bin/bejconv bin/rde-dictc bin/rde-inspect ${LIBDIR}/librde.so.0 ${LIBDIR}/pkgconfig/librde.pc
    include/librde/rde_bej.h ${MANDIR}/man1/bejconv.1 ${MANDIR}/man1/rde-inspect.1)
  if(NOT EXISTS ${STAGE}/${f})
    message(SEND_ERROR "not installed: ${f}")
  endif()
endforeach()
set(ENV{PKG_CONFIG_LIBDIR} ${STAGE}/${LIBDIR}/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})
execute_process(COMMAND pkg-config --cflags --libs librde OUTPUT_VARIABLE flags
		OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND ${CC} ${PROGRAM} ${flags} -o ${STAGE}/program COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "|" ";" run "${EMULATOR}")
if(run)
  list(APPEND run -E LD_LIBRARY_PATH=${STAGE}/${LIBDIR})
else()
  set(ENV{LD_LIBRARY_PATH} ${STAGE}/${LIBDIR})
endif()
execute_process(COMMAND ${run} ${STAGE}/program COMMAND_ERROR_IS_FATAL ANY)
