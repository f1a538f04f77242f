# CLI11 and nlohmann-json are header-only and come from Debian's packages.
# Native builds use them from the system include path; cross builds get a
# private include folder holding links to just these two header trees.
set(VELKAN_THIRD_PARTY_INCLUDE "")
if(CMAKE_CROSSCOMPILING)
  set(_tp ${CMAKE_BINARY_DIR}/third_party/include)
  file(MAKE_DIRECTORY ${_tp})
  foreach(_dir CLI nlohmann)
    if(EXISTS /usr/include/${_dir} AND NOT EXISTS ${_tp}/${_dir})
      file(CREATE_LINK /usr/include/${_dir} ${_tp}/${_dir} SYMBOLIC)
    endif()
  endforeach()
  set(VELKAN_THIRD_PARTY_INCLUDE ${_tp})
endif()

add_library(velkan_third_party INTERFACE)
if(VELKAN_THIRD_PARTY_INCLUDE)
  target_include_directories(velkan_third_party SYSTEM INTERFACE ${VELKAN_THIRD_PARTY_INCLUDE})
endif()

# GoogleTest: the system package natively; built from Debian's source copy
# (package googletest, /usr/src/googletest) for cross builds.
macro(velkan_find_gtest)
  if(CMAKE_CROSSCOMPILING)
    if(NOT TARGET gtest)
      set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
      set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
      add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    endif()
    if(NOT TARGET GTest::gtest_main)
      add_library(GTest::gtest ALIAS gtest)
      add_library(GTest::gtest_main ALIAS gtest_main)
      add_library(GTest::gmock ALIAS gmock)
    endif()
  else()
    find_package(GTest REQUIRED)
  endif()
endmacro()
