# Helpers shared by every folder of the build.

set(LOGRUM2_WARNINGS -Wall -Wextra)
if(LOGRUM2_WERROR)
  list(APPEND LOGRUM2_WARNINGS -Werror -Wno-error=deprecated-declarations)
endif()
# Clang checks the GUARDED_BY/REQUIRES annotations (Lib/Kit/ThreadAnnotations.h):
# a member touched without its lock fails the build.
if(LOGRUM2_THREAD_SAFETY)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "LOGRUM2_THREAD_SAFETY needs clang (CXX=clang++ CC=clang)")
  endif()
  list(APPEND LOGRUM2_WARNINGS -Wthread-safety -Werror=thread-safety)
endif()

set(LOGRUM2_SANITIZER_FLAGS "")
if(LOGRUM2_SANITIZE)
  set(LOGRUM2_SANITIZER_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
elseif(LOGRUM2_TSAN)
  set(LOGRUM2_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
endif()
if(LOGRUM2_SANITIZER_FLAGS)
  add_compile_options(${LOGRUM2_SANITIZER_FLAGS})
  add_link_options(${LOGRUM2_SANITIZER_FLAGS})
endif()

# Our own code compiles warning-free; third-party headers come in as SYSTEM.
function(logrum_warnings target)
  target_compile_options(${target} PRIVATE ${LOGRUM2_WARNINGS})
endfunction()

# logrum_library(NAME [STATIC|OBJECT] SOURCES ... [LIBS ...] [PUBLIC_INCLUDE dir])
# A core library of one folder: static, position independent, hidden symbols,
# so that it can be linked into the shared modules and into tests alike.
function(logrum_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;INCLUDE" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  logrum_warnings(${name})
  set_target_properties(${name} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR} ${ARG_INCLUDE})
  if(ARG_LIBS)
    target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  endif()
endfunction()

# logrum_module(NAME SOURCES ... LIBS ...)
# A plug-in library loaded by file name (NAME.so, no "lib" prefix) from lib/.
# Only the entry points marked with LOGRUM_EXPORT are visible.
function(logrum_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} MODULE ${ARG_SOURCES})
  logrum_warnings(${name})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".so"
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_link_options(${name} PRIVATE -Wl,--no-undefined -Wl,-z,defs)
endfunction()

# logrum_program(NAME SOURCES ... LIBS ...)
function(logrum_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  logrum_warnings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  # The program's warning route also serves the plug-ins it loads
  # (Lib/Platform/DebugOutput.h).
  target_link_options(${name} PRIVATE -Wl,--export-dynamic-symbol=LogrumPlatformWarningRoute)
endfunction()

# logrum_test(NAME SOURCES ... LIBS ... [DEPENDS targets] [LABELS ...] [TIMEOUT s])
# A GoogleTest executable in tests/ of the build tree, every case discovered by CTest.
function(logrum_test name)
  if(NOT LOGRUM2_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;DEPENDS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  logrum_warnings(${name})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    LOGRUM2_BUILD_DIR="${CMAKE_BINARY_DIR}"
    LOGRUM2_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  if(ARG_DEPENDS)
    add_dependencies(${name} ${ARG_DEPENDS})
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
endfunction()

# logrum_benchmark(NAME SOURCES ... LIBS ...): a Google Benchmark program in bench/ of the build tree.
function(logrum_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;DEPENDS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${name} ${ARG_SOURCES})
  logrum_warnings(${name})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    LOGRUM2_BUILD_DIR="${CMAKE_BINARY_DIR}"
    LOGRUM2_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  if(ARG_DEPENDS)
    add_dependencies(${name} ${ARG_DEPENDS})
  endif()
endfunction()
