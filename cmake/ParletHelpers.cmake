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
  if(PARLET_SANITIZE)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/testsupport/SoundPluginPins.cpp)
  endif()
  target_link_libraries(${target} PRIVATE ${ARG_DEPS} parlet_testsupport parlet_warnings GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${target}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    DISCOVERY_TIMEOUT 60
    NO_PRETTY_VALUES
    PROPERTIES ENVIRONMENT "PARLET_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()

# Libraries a folder may name before they exist: layers whose folder has no sources yet
# (platform/Desktop, which only the desktop front links).
# Any other dependency must be a target by the time the folder names it.
set(PARLET_OPTIONAL_DEPS platform_desktop)

# _parlet_existing_deps(<out-var> <what> [deps ...])
# The dependencies that can be linked now. A name that looks like a target ("hub", "ICU::uc") and is
# none stops the configure step with the folder and the name, unless PARLET_OPTIONAL_DEPS lists it
# (then it is left out). Flags ("-lfoo"), paths and generator expressions pass through.
function(_parlet_existing_deps out what)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set(kept)
  foreach(dep IN LISTS ARGN)
    if(TARGET ${dep} OR NOT dep MATCHES "^[A-Za-z_][A-Za-z0-9_]*(::[A-Za-z0-9_.+-]+)?$")
      list(APPEND kept ${dep})
    elseif(NOT dep IN_LIST PARLET_OPTIONAL_DEPS)
      message(FATAL_ERROR "${folder}: ${what} '${dep}' is not a target. Check the name and that its folder "
                          "comes earlier in the top-level list; a library that may be absent belongs in "
                          "PARLET_OPTIONAL_DEPS (cmake/ParletHelpers.cmake).")
    endif()
  endforeach()
  set(${out} ${kept} PARENT_SCOPE)
endfunction()

# parlet_folder_library(<target> [ROOMS ...] [DEPS ...] [PRIVATE_DEPS ...] [TEST_DEPS ...])
# The library of one folder: every .cpp in it, in its detail/ sub-folder and in each named room
# (a sub-folder by stage, with its own detail/), plus a test binary <target>_tests from tests/*.cpp. Dependencies are checked as above, also while the folder has no
# sources; then the function does nothing.
function(parlet_folder_library target)
  cmake_parse_arguments(ARG "" "" "ROOMS;DEPS;PRIVATE_DEPS;TEST_DEPS" ${ARGN})
  _parlet_existing_deps(deps dependency ${ARG_DEPS})
  _parlet_existing_deps(private_deps "private dependency" ${ARG_PRIVATE_DEPS})
  if(PARLET_BUILD_TESTS)
    _parlet_existing_deps(test_deps "test dependency" ${ARG_TEST_DEPS})
  endif()
  set(patterns ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/detail/*.cpp)
  foreach(room IN LISTS ARG_ROOMS)
    list(APPEND patterns ${CMAKE_CURRENT_SOURCE_DIR}/${room}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/${room}/detail/*.cpp)
  endforeach()
  file(GLOB sources CONFIGURE_DEPENDS ${patterns})
  if(NOT sources)
    return()
  endif()
  parlet_add_library(${target} SOURCES ${sources} DEPS ${deps} PRIVATE_DEPS ${private_deps})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  if(tests)
    parlet_add_test(${target}_tests SOURCES ${tests} DEPS ${target} ${test_deps})
  endif()
endfunction()
