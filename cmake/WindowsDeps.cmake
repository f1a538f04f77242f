# The Windows cross build's Qt, SQLite, libpq and libsodium, from the cache
# that scripts/build-qt-mingw, build-sqlite-mingw, build-libpq-mingw and
# build-libsodium-mingw install into (the prefix of the current recipe,
# whether built yet or not). Each can be given instead as
# VELKAN_MINGW_QT_PREFIX / VELKAN_MINGW_SQLITE_PREFIX / VELKAN_MINGW_PQ_PREFIX
# / VELKAN_MINGW_SODIUM_PREFIX.
# Sets VELKAN_MINGW_QT_FOUND, VELKAN_MINGW_PQ_FOUND and VELKAN_MINGW_SODIUM_FOUND.
set(_velkan_script_QT qt)
set(_velkan_script_SQLITE sqlite)
set(_velkan_script_PQ libpq)
set(_velkan_script_SODIUM libsodium)
foreach(_dep QT SQLITE PQ SODIUM)
  if(NOT VELKAN_MINGW_${_dep}_PREFIX)
    execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/build-${_velkan_script_${_dep}}-mingw
                            --prefix
                    OUTPUT_VARIABLE VELKAN_MINGW_${_dep}_PREFIX
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  if(IS_DIRECTORY "${VELKAN_MINGW_${_dep}_PREFIX}")
    # The toolchain looks in the mingw sysroot only; these prefixes join it.
    list(APPEND CMAKE_FIND_ROOT_PATH ${VELKAN_MINGW_${_dep}_PREFIX})
    list(APPEND CMAKE_PREFIX_PATH ${VELKAN_MINGW_${_dep}_PREFIX})
    message(STATUS "Windows build: ${_dep} from ${VELKAN_MINGW_${_dep}_PREFIX}")
  else()
    message(STATUS "Windows build: no ${_dep} for mingw (${VELKAN_MINGW_${_dep}_PREFIX})")
  endif()
endforeach()
set(VELKAN_MINGW_QT_FOUND OFF)
# A build folder keeps the Qt it first found (find_package caches each
# Qt6*_DIR); when the recipe, and with it the prefix, has changed since, it
# forgets them and finds the new one.
if(DEFINED CACHE{Qt6_DIR} AND NOT Qt6_DIR STREQUAL "${VELKAN_MINGW_QT_PREFIX}/lib/cmake/Qt6")
  get_property(_velkan_cached DIRECTORY PROPERTY CACHE_VARIABLES)
  foreach(_var IN LISTS _velkan_cached)
    if(_var MATCHES "^Qt6[A-Za-z]*_DIR$")
      unset(${_var} CACHE)
    endif()
  endforeach()
  message(STATUS "Windows build: Qt moved to ${VELKAN_MINGW_QT_PREFIX}")
endif()
if(EXISTS "${VELKAN_MINGW_QT_PREFIX}/lib/cmake/Qt6/Qt6Config.cmake")
  set(VELKAN_MINGW_QT_FOUND ON)
  # Code generation (moc, rcc, uic) by the build machine's Qt of the same
  # version.
  set(QT_HOST_PATH /usr CACHE PATH "Qt for the build machine")
  set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu/cmake
      CACHE PATH "CMake packages of the build machine's Qt")
endif()
# libpq: its headers at build time; libpq.dll is loaded when a PostgreSQL
# record is opened, from the programs' folder, and ships there.
set(VELKAN_MINGW_PQ_FOUND OFF)
if(EXISTS "${VELKAN_MINGW_PQ_PREFIX}/include/libpq-fe.h"
   AND EXISTS "${VELKAN_MINGW_PQ_PREFIX}/bin/libpq.dll")
  set(VELKAN_MINGW_PQ_FOUND ON)
endif()
# libsodium: a static library, linked into the programs.
set(VELKAN_MINGW_SODIUM_FOUND OFF)
if(EXISTS "${VELKAN_MINGW_SODIUM_PREFIX}/include/sodium.h"
   AND EXISTS "${VELKAN_MINGW_SODIUM_PREFIX}/lib/libsodium.a")
  set(VELKAN_MINGW_SODIUM_FOUND ON)
  add_library(velkan_mingw_sodium STATIC IMPORTED)
  set_target_properties(velkan_mingw_sodium PROPERTIES
    IMPORTED_LOCATION ${VELKAN_MINGW_SODIUM_PREFIX}/lib/libsodium.a
    INTERFACE_INCLUDE_DIRECTORIES ${VELKAN_MINGW_SODIUM_PREFIX}/include
    # Without it sodium.h declares every function as imported from a DLL.
    INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC)
endif()
