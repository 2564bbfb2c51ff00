# The Windows module built on Windows, as `pip install` of the sdist runs it there: the
# layers and the module's sources as one stable-ABI module (python3.dll), into the
# package. Untested, see windows_native_python.cmake.
Python3_add_library(_vistrel MODULE USE_SABI 3.9 WITH_SOABI ${VISTREL_MODULE_SOURCES})
target_link_libraries(_vistrel PRIVATE vistrel_py)
target_compile_options(_vistrel PRIVATE ${VISTREL_WARNINGS})
install(TARGETS _vistrel LIBRARY DESTINATION vistrel RUNTIME DESTINATION vistrel)
