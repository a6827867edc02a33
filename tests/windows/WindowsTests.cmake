# The test suite in the Windows build: the test programs run under Wine
# (CMAKE_CROSSCOMPILING_EMULATOR), without the tests that not-under-wine.txt
# lists with their reasons.
set(ZENTO_WINDOWS_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})
file(STRINGS ${ZENTO_WINDOWS_TESTS_DIR}/not-under-wine.txt zento_wine_lines REGEX "^[^#].* -- ")
set(ZENTO_WINE_EXCLUDED_FILES "")
set(ZENTO_WINE_EXCLUDED_TESTS "")
foreach(line IN LISTS zento_wine_lines)
  string(REGEX REPLACE " -- .*$" "" item "${line}")
  string(STRIP "${item}" item)
  if(item MATCHES "(\\.cpp|/)$")
    list(APPEND ZENTO_WINE_EXCLUDED_FILES ${item})
  else()
    list(APPEND ZENTO_WINE_EXCLUDED_TESTS ${item})
  endif()
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ZENTO_WINDOWS_TESTS_DIR}/not-under-wine.txt)

# Drops the listed files, and the files of the listed folders, from the list
# variable sources_var.
function(zento_windows_test_sources sources_var)
  set(kept "")
  foreach(source IN LISTS ${sources_var})
    file(RELATIVE_PATH relative ${PROJECT_SOURCE_DIR} ${source})
    set(keep TRUE)
    foreach(excluded IN LISTS ZENTO_WINE_EXCLUDED_FILES)
      if(relative STREQUAL excluded OR (excluded MATCHES "/$" AND relative MATCHES "^${excluded}"))
        set(keep FALSE)
      endif()
    endforeach()
    if(keep)
      list(APPEND kept ${source})
    endif()
  endforeach()
  set(${sources_var} ${kept} PARENT_SCOPE)
endfunction()

# The POSIX calls of the tests' own set-up, for a target built from test
# sources.
function(zento_windows_test_target target)
  target_compile_options(${target} PRIVATE -include ${ZENTO_WINDOWS_TESTS_DIR}/posix_shim.h)
  target_include_directories(${target} PRIVATE ${ZENTO_WINDOWS_TESTS_DIR}/posix)
  # The tests index byte vectors with 64-bit file offsets, which a 32-bit
  # size_t narrows; the libraries under test keep the warning.
  target_compile_options(${target} PRIVATE -Wno-conversion)
endfunction()

# Every test case a CTest test of its own, as on Linux, run under Wine: a
# test case leaves nothing behind for the next. The test list is read when
# CTest runs, where Wine runs.
function(zento_windows_test name)
  zento_windows_test_target(${name})
  target_sources(${name} PRIVATE ${ZENTO_WINDOWS_TESTS_DIR}/test_process.cpp)
  list(JOIN ZENTO_WINE_EXCLUDED_TESTS ":" excluded)
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 TEST_FILTER "-${excluded}"
                       PROPERTIES TIMEOUT 300)
endfunction()
