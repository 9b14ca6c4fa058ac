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
    NO_PRETTY_VALUES
    PROPERTIES ENVIRONMENT "PARLET_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()

# _parlet_existing_deps(<out-var> [deps ...])
# The dependencies that can be linked now: existing targets, flags ("-lfoo") and anything that is
# not a plain target name (paths, generator expressions, namespaced targets).
function(_parlet_existing_deps out)
  set(kept)
  foreach(dep IN LISTS ARGN)
    if(TARGET ${dep} OR dep MATCHES "^-" OR NOT dep MATCHES "^[A-Za-z_]+$")
      list(APPEND kept ${dep})
    endif()
  endforeach()
  set(${out} ${kept} PARENT_SCOPE)
endfunction()

# parlet_folder_library(<target> [DEPS ...] [PRIVATE_DEPS ...])
# The library of one folder: every .cpp in it and in its detail/ sub-folder, plus a test binary
# <target>_tests from tests/*.cpp. Dependencies that do not exist (yet) are skipped, so a folder
# builds as soon as it has sources. Does nothing while the folder has no sources.
function(parlet_folder_library target)
  cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE_DEPS;TEST_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/detail/*.cpp)
  if(NOT sources)
    return()
  endif()
  _parlet_existing_deps(deps ${ARG_DEPS})
  _parlet_existing_deps(private_deps ${ARG_PRIVATE_DEPS})
  parlet_add_library(${target} SOURCES ${sources} DEPS ${deps} PRIVATE_DEPS ${private_deps})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  if(tests)
    parlet_add_test(${target}_tests SOURCES ${tests} DEPS ${target} ${ARG_TEST_DEPS})
  endif()
endfunction()
