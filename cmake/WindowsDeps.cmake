# The Windows cross build's Qt and SQLite, from the cache that
# scripts/build-qt-mingw and scripts/build-sqlite-mingw install into (the
# prefix of the current recipe, whether built yet or not). Either can be
# given instead as VELKAN_MINGW_QT_PREFIX / VELKAN_MINGW_SQLITE_PREFIX.
# Sets VELKAN_MINGW_QT_FOUND.
foreach(_dep QT SQLITE)
  if(NOT VELKAN_MINGW_${_dep}_PREFIX)
    string(TOLOWER ${_dep} _script)
    execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/build-${_script}-mingw --prefix
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
if(EXISTS "${VELKAN_MINGW_QT_PREFIX}/lib/cmake/Qt6/Qt6Config.cmake")
  set(VELKAN_MINGW_QT_FOUND ON)
  # Code generation (moc, rcc, uic) by the build machine's Qt of the same
  # version.
  set(QT_HOST_PATH /usr CACHE PATH "Qt for the build machine")
  set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu/cmake
      CACHE PATH "CMake packages of the build machine's Qt")
endif()
