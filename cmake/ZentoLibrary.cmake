# One static library per source folder: every .cpp of the folder, the project
# root on the include path, and the libraries it builds on.
function(zento_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(ex IN LISTS ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "/${ex}$")
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# One GoogleTest executable per test folder, registered with CTest.
function(zento_test_folder name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(WIN32)
    zento_windows_test_sources(sources)
  endif()
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main)
  # GCC 12's std::string, inlined at -O2 and above, warns that "literal" +
  # std::string&& may memcpy overlapping ranges of about 2^63 bytes: a known
  # false positive of that release, which the tests' string building hits.
  # The libraries keep the warning.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
     AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${name} PRIVATE -Wno-restrict)
  endif()
  target_compile_definitions(${name} PRIVATE
    ZENTO_BIN_DIR="${PROJECT_BINARY_DIR}"
    ZENTO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  if(WIN32)
    zento_windows_test(${name})
    return()
  endif()
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

if(WIN32)
  include(${PROJECT_SOURCE_DIR}/tests/windows/WindowsTests.cmake)
endif()
