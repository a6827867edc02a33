# The project version and the source revision, for every program's --version,
# in the generated header zento_version.h. The revision is what git describes
# when CMake configures the build ("unknown" without git or outside a
# checkout); a build configured again after new commits shows them.
set(ZENTO_REVISION "unknown")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --tags --dirty
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE zento_describe RESULT_VARIABLE zento_describe_result
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(zento_describe_result EQUAL 0 AND NOT zento_describe STREQUAL "")
    set(ZENTO_REVISION ${zento_describe})
  endif()
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/zento_version.h.in ${PROJECT_BINARY_DIR}/generated/zento_version.h @ONLY)
include_directories(${PROJECT_BINARY_DIR}/generated)
