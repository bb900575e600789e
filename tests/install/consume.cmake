# Installs the build into a fresh staging prefix, checks every piece, builds
# the library's C test program with pkg-config's flags alone (seeing only the
# staged librde.pc, as a cross build must) and runs it, emulated if need be.
file(REMOVE_RECURSE ${STAGE})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${STAGE} OUTPUT_QUIET
		COMMAND_ERROR_IS_FATAL ANY)
foreach(f bin/bejconv bin/rde-dictc bin/rde-inspect ${LIBDIR}/librde.so.0 ${LIBDIR}/pkgconfig/librde.pc
    include/librde/rde_bej.h ${MANDIR}/man1/bejconv.1 ${MANDIR}/man1/rde-inspect.1
    ${MANDIR}/man1/rde-dictc.1)
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
# qemu-arm hands its environment to the program it runs.
set(ENV{LD_LIBRARY_PATH} ${STAGE}/${LIBDIR})
string(REPLACE "|" ";" run "${EMULATOR}")
execute_process(COMMAND ${run} ${STAGE}/program COMMAND_ERROR_IS_FATAL ANY)
