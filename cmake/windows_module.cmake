# The Windows module, cross-compiled: the layers against the real SDK headers, linked
# statically against the toolchain's runtime, importing CPython through a python3.dll
# import library generated from what the objects use.
add_library(vistrel_module_objects OBJECT ${VISTREL_MODULE_SOURCES})
target_link_libraries(vistrel_module_objects PRIVATE vistrel_py)
target_compile_options(vistrel_module_objects PRIVATE ${VISTREL_WARNINGS})

set(VISTREL_LAYER_ARCHIVES $<TARGET_FILE:vistrel_py> $<TARGET_FILE:vistrel_convert> $<TARGET_FILE:vistrel_pacing>
    $<TARGET_FILE:vistrel_duplication> $<TARGET_FILE:vistrel_platform>)
set(VISTREL_IMPLIB ${CMAKE_BINARY_DIR}/libpython3.a)
add_custom_command(OUTPUT ${VISTREL_IMPLIB}
  COMMAND ${VISTREL_BUILD_PYTHON} ${PROJECT_SOURCE_DIR}/cmake/python3_implib.py
          ${CMAKE_NM} ${CMAKE_DLLTOOL} ${VISTREL_PYTHON_INCLUDE}
          ${CMAKE_BINARY_DIR}/python3.def ${VISTREL_IMPLIB}
          $<TARGET_OBJECTS:vistrel_module_objects> ${VISTREL_LAYER_ARCHIVES}
  DEPENDS vistrel_module_objects $<TARGET_OBJECTS:vistrel_module_objects> ${VISTREL_LAYER_ARCHIVES}
          ${PROJECT_SOURCE_DIR}/cmake/python3_implib.py
  COMMAND_EXPAND_LISTS
  VERBATIM)
add_custom_target(python3_implib DEPENDS ${VISTREL_IMPLIB})

add_library(_vistrel SHARED $<TARGET_OBJECTS:vistrel_module_objects>)
add_dependencies(_vistrel python3_implib)
set_target_properties(_vistrel PROPERTIES PREFIX "" SUFFIX ".pyd"
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR} LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_link_libraries(_vistrel PRIVATE vistrel_py ${VISTREL_IMPLIB})
target_link_options(_vistrel PRIVATE -static -static-libgcc -static-libstdc++)
