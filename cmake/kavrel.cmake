# Helpers shared by every library of the project.
#
# kavrel_library(NAME <target> DIR <library folder> [DEPS <targets>...] [INTERFACE])
#   Builds <DIR>/src/**.cpp into a static library. Headers are included as
#   "<target>/<path below src>", so an include names the library it comes from.
#   Files ending in _avx512f.cpp or _avx2_fma.cpp get their instruction set's flags.
#
# kavrel_tests(NAME <target> DIR <library folder> DEPS <targets>...)
#   Builds <DIR>/tests/**.cpp into <target>_tests with GoogleTest and registers its cases.
#
# kavrel_stress_tests(NAME <target> DIR <library folder> DEPS <targets>...)
#   Builds <DIR>/stress/**.cpp into <target>_stress_tests; every case carries the CTest
#   label "stress" so that the ThreadSanitizer run can select them, and each links the
#   thread helpers under a deadline (ostrel_testing).

# One include folder per library, holding only that library's headers: a target sees the
# headers of the libraries it links and of theirs, so an include of an undeclared library
# fails to compile.
set(KAVREL_INCLUDE_ROOT ${CMAKE_BINARY_DIR}/headers)

# kavrel_headers(<target> <source folder>): the include folder of <target>, with the folder
# as "<target>/".
function(kavrel_headers target src)
  set(root ${KAVREL_INCLUDE_ROOT}/${target})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${src} ${root}/${target} SYMBOLIC)
  set(KAVREL_HEADERS ${root} PARENT_SCOPE)
endfunction()

# A dependency that names no target of this build stops the configure.
function(kavrel_require_targets owner)
  foreach(dep IN LISTS ARGN)
    if(NOT TARGET ${dep})
      message(FATAL_ERROR "${owner} depends on ${dep}, which is no library of this build")
    endif()
  endforeach()
endfunction()

function(kavrel_isa_flags)
  foreach(src IN LISTS ARGN)
    if(src MATCHES "_avx512f\\.cpp$")
      set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "-mavx512f")
    elseif(src MATCHES "_avx2_fma\\.cpp$")
      set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "-mavx2;-mfma")
    endif()
  endforeach()
endfunction()

function(kavrel_library)
  cmake_parse_arguments(K "INTERFACE" "NAME;DIR" "DEPS" ${ARGN})
  get_filename_component(dir ${K_DIR} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  kavrel_require_targets(${K_NAME} ${K_DEPS})
  kavrel_headers(${K_NAME} ${dir}/src)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/src/*.cpp)
  if(K_INTERFACE OR NOT srcs)
    add_library(${K_NAME} INTERFACE)
    target_include_directories(${K_NAME} INTERFACE ${KAVREL_HEADERS})
    target_link_libraries(${K_NAME} INTERFACE ${K_DEPS})
  else()
    add_library(${K_NAME} STATIC ${srcs})
    kavrel_isa_flags(${srcs})
    target_include_directories(${K_NAME} PUBLIC ${KAVREL_HEADERS})
    target_link_libraries(${K_NAME} PUBLIC ${K_DEPS})
  endif()
endfunction()

# One GoogleTest executable <target> from <dir>/<folder>/**.cpp and SOURCES, its cases registered
# with CTest under LABELS.
function(kavrel_gtest_executable target dir folder)
  cmake_parse_arguments(K "" "" "DEPS;SOURCES;LABELS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/${folder}/*.cpp)
  list(APPEND srcs ${K_SOURCES})
  if(NOT srcs)
    return()
  endif()
  kavrel_require_targets(${target} ${K_DEPS})
  add_executable(${target} ${srcs})
  kavrel_isa_flags(${srcs})
  target_link_libraries(${target} PRIVATE ${K_DEPS} GTest::gtest_main)
  # A suite's shared helpers are included from its own root, as "support/<name>.hpp".
  target_include_directories(${target} PRIVATE ${dir}/${folder})
  set(properties TIMEOUT 300)
  if(K_LABELS)
    list(APPEND properties LABELS ${K_LABELS})
  endif()
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
endfunction()

# One suite: <DIR>/<folder>/**.cpp as <NAME><suffix>, with the given label and extra links.
function(kavrel_test_suite folder suffix label extra_deps)
  if(NOT KAVREL_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(K "" "NAME;DIR" "DEPS;SOURCES" ${ARGN})
  get_filename_component(dir ${K_DIR} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  kavrel_gtest_executable(${K_NAME}${suffix} ${dir} ${folder} DEPS ${K_DEPS} ${extra_deps} SOURCES ${K_SOURCES}
                          LABELS ${label})
endfunction()

function(kavrel_tests)
  kavrel_test_suite(tests _tests "" "" ${ARGN})
endfunction()

function(kavrel_stress_tests)
  kavrel_test_suite(stress _stress_tests stress ostrel_testing ${ARGN})
endfunction()
