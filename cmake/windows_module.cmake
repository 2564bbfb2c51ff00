# The Windows module, cross-compiled: every source of the product module against the
# real SDK headers, linked statically against the toolchain's runtime, importing
# CPython through a python3.dll import library generated from what the objects use.
if(NOT VISTREL_HOST_PYTHON_INCLUDE OR NOT VISTREL_BUILD_PYTHON)
  message(FATAL_ERROR "set VISTREL_HOST_PYTHON_INCLUDE (CPython's headers) and VISTREL_BUILD_PYTHON")
endif()

# CPython's portable headers, with a Windows pyconfig.h in place of the host's.
set(VISTREL_WIN_PYTHON_INCLUDE ${CMAKE_BINARY_DIR}/python-include)
file(COPY ${VISTREL_HOST_PYTHON_INCLUDE}/ DESTINATION ${VISTREL_WIN_PYTHON_INCLUDE})
configure_file(${PROJECT_SOURCE_DIR}/cmake/windows-pyconfig.h ${VISTREL_WIN_PYTHON_INCLUDE}/pyconfig.h COPYONLY)

add_library(vistrel_objects OBJECT ${VISTREL_CORE_SOURCES} ${VISTREL_PY_SOURCES} ${VISTREL_MODULE_SOURCES})
target_include_directories(vistrel_objects PRIVATE ${PROJECT_SOURCE_DIR} ${VISTREL_WIN_PYTHON_INCLUDE})
target_compile_definitions(vistrel_objects PRIVATE
  Py_LIMITED_API=0x03090000 _WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE)
target_compile_options(vistrel_objects PRIVATE ${VISTREL_WARNINGS})

set(VISTREL_IMPLIB ${CMAKE_BINARY_DIR}/libpython3.a)
add_custom_command(OUTPUT ${VISTREL_IMPLIB}
  COMMAND ${VISTREL_BUILD_PYTHON} ${PROJECT_SOURCE_DIR}/cmake/python3_implib.py
          ${CMAKE_NM} ${CMAKE_DLLTOOL} ${VISTREL_WIN_PYTHON_INCLUDE}
          ${CMAKE_BINARY_DIR}/python3.def ${VISTREL_IMPLIB} $<TARGET_OBJECTS:vistrel_objects>
  DEPENDS vistrel_objects $<TARGET_OBJECTS:vistrel_objects> ${PROJECT_SOURCE_DIR}/cmake/python3_implib.py
  COMMAND_EXPAND_LISTS
  VERBATIM)
add_custom_target(python3_implib DEPENDS ${VISTREL_IMPLIB})

add_library(_vistrel SHARED $<TARGET_OBJECTS:vistrel_objects>)
add_dependencies(_vistrel python3_implib)
set_target_properties(_vistrel PROPERTIES PREFIX "" SUFFIX ".pyd")
target_link_libraries(_vistrel PRIVATE ${VISTREL_IMPLIB} dxgi d3d11 user32 oleaut32 ole32)
target_link_options(_vistrel PRIVATE -static -static-libgcc -static-libstdc++)
