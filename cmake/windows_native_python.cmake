# A native Windows build (the sdist under MSVC and the Windows SDK): CMake's stable-ABI
# Python module supplies the headers and python3.lib. Untested: our Windows wheel is the
# cross-built module (windows_python.cmake, windows_module.cmake).
find_package(Python3 3.9 REQUIRED COMPONENTS Interpreter Development.SABIModule)
set(VISTREL_PYTHON_INCLUDE ${Python3_INCLUDE_DIRS})
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE NOMINMAX)
if(MSVC)
  add_compile_options(/utf-8 /permissive- /Zc:__cplusplus)
endif()
