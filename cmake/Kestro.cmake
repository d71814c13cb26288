# kestro_library(NAME [DEPS targets...])
# A library made of the .cpp and .h files of the calling folder (not its subfolders).
# A folder without sources yet gives an interface library, so dependants link already.
function(kestro_library name)
  cmake_parse_arguments(K "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  if(sources)
    add_library(${name} STATIC ${sources} ${headers})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${K_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${K_DEPS})
  endif()
endfunction()

# kestro_test(NAME SOURCES files... LIBS targets... [LABELS labels...] [FIXTURES fixtures...] [TIMEOUT s] [ARGS args...])
# One test executable on GoogleTest, registered as one CTest test of the same name
# (scripts/test.sh builds the tests of a label by these names), linked with
# kestro_test_support (tests/support).
# Names: the files test_<what>.cpp; the executables test_<folder> for a folder's
# main one and test_<folder>_<what> for others, <folder> being the folder below
# tests/ with "_" for "/" (tests/ui/dialogs: test_ui_dialogs).
# kestro_test_run(NAME EXECUTABLE target [LABELS ...] [FIXTURES ...] [TIMEOUT s] [ARGS ...])
# Registers one more CTest test that runs an existing test executable (say, with
# another filter), named <executable>_<how>.
function(kestro_test name)
  cmake_parse_arguments(K "" "TIMEOUT" "SOURCES;LIBS;LABELS;FIXTURES;ARGS" ${ARGN})
  add_executable(${name} ${K_SOURCES})
  target_link_libraries(${name} PRIVATE ${K_LIBS} kestro_test_support GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    KESTRO_SOURCE_DIR="${PROJECT_SOURCE_DIR}" KESTRO_BINARY_DIR="${PROJECT_BINARY_DIR}")
  kestro_test_run(${name} EXECUTABLE ${name} LABELS ${K_LABELS} FIXTURES ${K_FIXTURES} TIMEOUT ${K_TIMEOUT} ARGS ${K_ARGS})
endfunction()

function(kestro_test_run name)
  cmake_parse_arguments(K "" "TIMEOUT;EXECUTABLE" "LABELS;FIXTURES;ARGS" ${ARGN})
  add_test(NAME ${name} COMMAND ${K_EXECUTABLE} ${K_ARGS})
  if(NOT K_TIMEOUT)
    set(K_TIMEOUT 600)
  endif()
  set(labels unit ${K_LABELS})
  if(K_LABELS)
    set(labels ${K_LABELS})
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT ${K_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  if(K_FIXTURES)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${K_FIXTURES}")
  endif()
endfunction()
