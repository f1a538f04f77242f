# cmake --install and cpack: the tools, the shared library with its SDK files
# (header, CMake package, pkg-config file), manual pages, bash completion,
# the Python binding and, on Linux, the udev rule and the desktop entry.
#
# Components, one Debian package each (cpack -G DEB):
#   tools    velkan          velkan (command line, no Qt), udev rule, velkan(1),
#                            bash completion
#   gui      velkan-tool     velkan-tool (Qt), desktop entry, icon, velkan-tool(1)
#   runtime  libvelkan2      libvelkan.so.2 and its real file
#   dev      libvelkan-dev   header, libvelkan.so, velkanConfig.cmake, velkan.pc
#   python   python3-velkan  the `velkan` Python package (ctypes)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The library's file version. The product version has four parts
# (major.minor.patch.build, 2.0.0.6); a shared object has three. The
# SONAME keeps the major number, the file name folds patch and build into
# the third part as patch * 100 + build, which keeps the order of releases:
# 2.0.0.6 -> libvelkan.so.2.0.6, 2.0.1.0 -> libvelkan.so.2.0.100.
math(EXPR _velkan_lib_patch "${PROJECT_VERSION_PATCH} * 100 + ${PROJECT_VERSION_TWEAK}")
set(VELKAN_LIBRARY_VERSION
    "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${_velkan_lib_patch}")
set(VELKAN_SOVERSION "${PROJECT_VERSION_MAJOR}")

# Debian's Python 3 finds packages in <prefix>/lib/python3/dist-packages for
# the prefix /usr (the packages) and in lib/python3.X/dist-packages for any
# other (/usr/local). The prefix is known only at install time: cpack
# installs into /usr whatever the build was configured with.
set(VELKAN_PYTHON_DIR "" CACHE STRING
    "Where the Python package goes, relative to the prefix; empty: Debian's layout for the prefix")
find_program(VELKAN_SYSTEM_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT VELKAN_SYSTEM_PYTHON3)
  find_program(VELKAN_SYSTEM_PYTHON3 python3)
endif()
set(_velkan_python_version 3)
if(VELKAN_SYSTEM_PYTHON3)
  execute_process(COMMAND ${VELKAN_SYSTEM_PYTHON3} -c
                          "import sys; print('%d.%d' % sys.version_info[:2])"
                  OUTPUT_VARIABLE _velkan_python_version OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
set(VELKAN_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/velkan")

set_target_properties(velkan PROPERTIES VERSION ${VELKAN_LIBRARY_VERSION}
                                        SOVERSION ${VELKAN_SOVERSION})
target_include_directories(velkan INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                            $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# Inside this build, velkan::velkan is the same target as for consumers.
add_library(velkan::velkan ALIAS velkan)

install(TARGETS velkan EXPORT velkanTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES include/velkan/velkan.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velkan
        COMPONENT dev)
install(EXPORT velkanTargets NAMESPACE velkan:: DESTINATION ${VELKAN_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/templates/velkanConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/velkanConfig.cmake
                              INSTALL_DESTINATION ${VELKAN_CMAKE_DIR})
# Same major version: the SONAME says the same.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/velkanConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/velkanConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/velkanConfigVersion.cmake
        DESTINATION ${VELKAN_CMAKE_DIR} COMPONENT dev)
if(NOT WIN32)
  # Plain paths under the prefix of the installation (cpack installs into
  # /usr, whatever prefix the build was configured with), so the file is
  # written when it is installed. A copy moved elsewhere is used with
  # PKG_CONFIG_SYSROOT_DIR.
  set(AT "@")
  configure_file(cmake/templates/velkan.pc.in ${CMAKE_CURRENT_BINARY_DIR}/velkan.pc.in @ONLY)
  install(CODE "
    set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
    string(REGEX REPLACE \"/+$\" \"\" prefix \"\${prefix}\")
    configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/velkan.pc.in\"
                   \"${CMAKE_CURRENT_BINARY_DIR}/install-pc/velkan.pc\" @ONLY)
    file(INSTALL \"${CMAKE_CURRENT_BINARY_DIR}/install-pc/velkan.pc\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
  " COMPONENT dev)
endif()

install(TARGETS velkan_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
if(VELKAN_BUILD_GUI)
  install(TARGETS velkan_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
endif()

if(UNIX)
  install(FILES packaging/70-velkan-programmer.rules DESTINATION lib/udev/rules.d
          COMPONENT tools)
  if(VELKAN_BUILD_GUI)
    install(FILES packaging/velkan-tool.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
            COMPONENT gui)
    install(FILES src/ui/resources/velkan.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
            RENAME velkan-tool.svg COMPONENT gui)
  endif()

  # Manual pages, compressed as Debian keeps them; the version comes from
  # project().
  string(TIMESTAMP VELKAN_MAN_DATE "%Y-%m-%d" UTC)
  set(_man_pages velkan.1:tools)
  if(VELKAN_BUILD_GUI)
    list(APPEND _man_pages velkan-tool.1:gui)
  endif()
  set(_man_outputs)
  foreach(_page_component ${_man_pages})
    string(REPLACE ":" ";" _page_component ${_page_component})
    list(GET _page_component 0 _page)
    list(GET _page_component 1 _component)
    set(_man ${CMAKE_CURRENT_BINARY_DIR}/man/${_page})
    configure_file(packaging/man/${_page}.in ${_man}.in @ONLY)
    string(REGEX REPLACE "\\.[0-9]$" "" _name ${_page})
    add_custom_command(OUTPUT ${_man} ${_man}.gz
                       COMMAND ${CMAKE_COMMAND} -DIN=${_man}.in -DOUT=${_man} -DPAGE=${_name}
                               -P ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
                       COMMAND gzip -9 -n -f -k ${_man}
                       DEPENDS ${_man}.in ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
                       VERBATIM)
    list(APPEND _man_outputs ${_man}.gz)
    install(FILES ${_man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${_component})
  endforeach()
  add_custom_target(velkan_man_pages ALL DEPENDS ${_man_outputs})

  # Where bash-completion loads completions on demand for this prefix.
  install(FILES packaging/bash-completion/velkan
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tools)
endif()

# The package's version (velkan.__version__) and its metadata as installers
# leave it (importlib.metadata.version("velkan")).
set(_velkan_python_meta ${CMAKE_CURRENT_BINARY_DIR}/python-meta)
set(_velkan_dist_info velkan-${PROJECT_VERSION}.dist-info)
file(WRITE ${_velkan_python_meta}/_version.py
     "# Written by the build from project() in CMakeLists.txt.\n"
     "__version__ = \"${PROJECT_VERSION}\"\n")
file(WRITE ${_velkan_python_meta}/${_velkan_dist_info}/METADATA
     "Metadata-Version: 2.1\n"
     "Name: velkan\n"
     "Version: ${PROJECT_VERSION}\n"
     "Summary: The VELKAN USB programmer from Python, through libvelkan\n"
     "License: Apache-2.0\n"
     "Requires-Python: >=3.7\n")
file(WRITE ${_velkan_python_meta}/${_velkan_dist_info}/INSTALLER "cmake\n")

# (Linux only: the Windows zip and installer have no Python.)
if(NOT WIN32)
install(CODE "
  set(_dir \"${VELKAN_PYTHON_DIR}\")
  if(NOT _dir)
    if(CMAKE_INSTALL_PREFIX MATCHES \"^/usr/?$\")
      set(_dir lib/python3/dist-packages)
    else()
      set(_dir lib/python${_velkan_python_version}/dist-packages)
    endif()
  endif()
  file(INSTALL \"${PROJECT_SOURCE_DIR}/python/velkan\"
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/\${_dir}\"
       FILES_MATCHING PATTERN \"*.py\" PATTERN \"__pycache__\" EXCLUDE)
  file(INSTALL \"${_velkan_python_meta}/_version.py\"
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/\${_dir}/velkan\")
  file(INSTALL \"${_velkan_python_meta}/${_velkan_dist_info}\"
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/\${_dir}\")
" COMPONENT python)
endif()
