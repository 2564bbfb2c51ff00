# CPython's portable headers for the cross build, with a Windows pyconfig.h in place of the host's.
if(NOT VISTREL_BUILD_PYTHON)
  message(FATAL_ERROR "set VISTREL_BUILD_PYTHON (the interpreter of this machine whose headers the module uses)")
endif()
# The headers are that interpreter's unless VISTREL_HOST_PYTHON_INCLUDE names others.
if(NOT VISTREL_HOST_PYTHON_INCLUDE)
  execute_process(COMMAND ${VISTREL_BUILD_PYTHON} -c "import sysconfig; print(sysconfig.get_paths()['include'])"
                  OUTPUT_VARIABLE VISTREL_HOST_PYTHON_INCLUDE OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()
set(VISTREL_PYTHON_INCLUDE ${CMAKE_BINARY_DIR}/python-include)
file(COPY ${VISTREL_HOST_PYTHON_INCLUDE}/ DESTINATION ${VISTREL_PYTHON_INCLUDE})
configure_file(${PROJECT_SOURCE_DIR}/cmake/windows-pyconfig.h ${VISTREL_PYTHON_INCLUDE}/pyconfig.h COPYONLY)
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE)
