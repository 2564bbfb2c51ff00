# The Windows test executables run under Wine (mingw-w64 builds with VISTREL_WINE_TESTS),
# against GoogleTest cross-built once (GTest_DIR). Which ones depends on the provider:
#   windows  vistrel_os_tests    os_win32.cpp through the tests os_posix.cpp passes
#            vistrel_dxgi_tests  the capture core against the system's DXGI and Direct3D 11
#   sim      vistrel_sim_tests   the core's tests on the simulated machine built for
#                                Windows (VISTREL_SHIM), with the real os layer
find_package(GTest REQUIRED CONFIG)

function(vistrel_wine_test name)
  add_executable(${name} ${ARGN})
  target_compile_options(${name} PRIVATE ${VISTREL_WARNINGS})
  target_link_libraries(${name} PRIVATE vistrel_wine_probe GTest::gtest GTest::gtest_main)
  # One self-contained .exe: Wine needs no DLL beside it.
  target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++)
endfunction()

# Tells the tests whether they run under Wine, whose system texts are not Windows'.
add_library(vistrel_wine_probe STATIC tests/cpp/under_wine_win32.cpp)
target_include_directories(vistrel_wine_probe PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(vistrel_wine_probe PRIVATE ${VISTREL_WARNINGS})

if(VISTREL_PROVIDER STREQUAL "windows")
  vistrel_wine_test(vistrel_os_tests tests/cpp/os_test.cpp tests/cpp/os_test_win32.cpp tests/wine/dpi_test.cpp)
  target_link_libraries(vistrel_os_tests PRIVATE vistrel_platform)
  vistrel_wine_test(vistrel_dxgi_tests tests/wine/dxgi_test.cpp)
  target_link_libraries(vistrel_dxgi_tests PRIVATE vistrel_duplication psapi)
elseif(VISTREL_PROVIDER STREQUAL "sim")
  if(NOT VISTREL_SHIM)
    message(FATAL_ERROR "the simulated machine on Windows needs VISTREL_SHIM=ON")
  endif()
  vistrel_wine_test(vistrel_sim_tests
    tests/cpp/convert_test.cpp
    tests/cpp/cursor_test.cpp
    tests/cpp/device_test.cpp
    tests/cpp/frame_test.cpp
    tests/cpp/message_text_test.cpp
    tests/cpp/schedule_test.cpp
    tests/cpp/utf16_test.cpp)
  target_link_libraries(vistrel_sim_tests PRIVATE vistrel_convert vistrel_pacing)
endif()
