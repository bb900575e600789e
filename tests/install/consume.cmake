# Installs the build into a fresh staging prefix, checks that every piece is
# in place, builds consumer.c against it with pkg-config's flags alone (the
# staged librde.pc the only one pkg-config sees, as for a cross build) and
# runs it, through the emulator when cross compiling.
file(REMOVE_RECURSE ${STAGE})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${STAGE}
		OUTPUT_QUIET RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
foreach(f bin/bejconv bin/rde-dictc bin/rde-inspect ${LIBDIR}/librde.so.0 ${LIBDIR}/pkgconfig/librde.pc
    include/librde/rde_bej.h ${MANDIR}/man1/bejconv.1 ${MANDIR}/man1/rde-inspect.1)
  if(NOT EXISTS ${STAGE}/${f})
    message(SEND_ERROR "not installed: ${f}")
  endif()
endforeach()

set(ENV{PKG_CONFIG_LIBDIR} ${STAGE}/${LIBDIR}/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})
execute_process(COMMAND pkg-config --cflags --libs librde RESULT_VARIABLE rc
		OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND ${CC} ${SOURCE}/consumer.c ${flags} -o ${STAGE}/consumer
		RESULT_VARIABLE rc ERROR_VARIABLE err)
if(rc)
  message(FATAL_ERROR "building against the install failed with ${flags}:\n${err}")
endif()

string(REPLACE "|" ";" run "${EMULATOR}")
if(run)
  list(APPEND run -E LD_LIBRARY_PATH=${STAGE}/${LIBDIR})
else()
  set(ENV{LD_LIBRARY_PATH} ${STAGE}/${LIBDIR})
endif()
execute_process(COMMAND ${run} ${STAGE}/consumer ${EXAMPLES}/Chassis.bin ${EXAMPLES}/annotation.bin
		RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT out STREQUAL "36 bytes: Id 1U, Health Warning\n")
  message(FATAL_ERROR "the consumer exited with ${rc}:\n${out}${err}")
endif()
