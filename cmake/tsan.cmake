# ThreadSanitizer build of everything (make tsan), included right after project() through
# CMAKE_PROJECT_INCLUDE. -O1 keeps the instrumented tests quick to build and to run.
add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
add_link_options(-fsanitize=thread)
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "-O1 -g1")
