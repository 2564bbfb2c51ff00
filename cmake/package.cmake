# The `vistrel` package: the extension module inside it, beside the pure-Python files of
# python/vistrel, in the build tree (build/python/vistrel, importable with
# PYTHONPATH=build/python) and in wheels. The simulated machine's library and control
# module stay one level up, in build/python.
set(VISTREL_PACKAGE_DIR ${VISTREL_PYTHON_DIR}/vistrel)
set_target_properties(_vistrel PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${VISTREL_PACKAGE_DIR}
  BUILD_RPATH "$ORIGIN;$ORIGIN/..")

file(GLOB VISTREL_PACKAGE_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/python/vistrel/*.py
  ${PROJECT_SOURCE_DIR}/python/vistrel/*.pyi ${PROJECT_SOURCE_DIR}/python/vistrel/py.typed)
set(VISTREL_PACKAGE_COPIES)
foreach(source ${VISTREL_PACKAGE_SOURCES})
  get_filename_component(name ${source} NAME)
  add_custom_command(OUTPUT ${VISTREL_PACKAGE_DIR}/${name}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${source} ${VISTREL_PACKAGE_DIR}/${name}
    DEPENDS ${source} VERBATIM)
  list(APPEND VISTREL_PACKAGE_COPIES ${VISTREL_PACKAGE_DIR}/${name})
endforeach()
add_custom_target(vistrel_package ALL DEPENDS ${VISTREL_PACKAGE_COPIES})

# Wheels: the pure-Python files come from scikit-build-core's package list; this adds the
# extension. The C++ runtime stays shared: the manylinux policy checks its symbol versions,
# and a static one would pull in newer glibc symbols (a higher manylinux tag).
install(TARGETS _vistrel LIBRARY DESTINATION vistrel)
