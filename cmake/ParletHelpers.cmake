# parlet_add_library(<target> SOURCES ... [DEPS ...] [PRIVATE_DEPS ...])
# A library whose headers are included from the repository root ("Hub/Config.h").
function(parlet_add_library target)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${target} ${ARG_SOURCES})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PUBLIC ${ARG_DEPS} PRIVATE parlet_warnings ${ARG_PRIVATE_DEPS})
endfunction()

# parlet_add_test(<target> SOURCES ... [DEPS ...])
# One GoogleTest binary per library, registered with CTest. Tests run from the
# project root so that fixtures are found at ../shared.
function(parlet_add_test target)
  if(NOT PARLET_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_DEPS} parlet_testsupport parlet_warnings GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${target}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "PARLET_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
