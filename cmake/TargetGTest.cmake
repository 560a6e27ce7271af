# GoogleTest for a cross build. Debian's libgtest-dev is built for the host
# only, so unless a GoogleTest for the target is installed in the target tree,
# it is built here from the sources that Debian's `googletest` package ships
# in /usr/src/googletest. Provides GTest::gtest and GTest::gtest_main like
# find_package(GTest) does.

find_package(GTest QUIET)
if(GTest_FOUND)
  return()
endif()

set(QX_GOOGLETEST_SOURCE_DIR /usr/src/googletest
    CACHE PATH "GoogleTest sources used when no target GoogleTest is installed")
if(NOT EXISTS ${QX_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest for the target and no sources at ${QX_GOOGLETEST_SOURCE_DIR} "
                      "(install Debian's googletest package or set QX_GOOGLETEST_SOURCE_DIR)")
endif()

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${QX_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Third-party code: the project's warning flags (and -Werror) are not ours to
# enforce on it.
foreach(target gtest gtest_main)
  target_compile_options(${target} PRIVATE -w)
endforeach()
if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
