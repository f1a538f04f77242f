# cpack -G DEB (run in the build folder): four Debian packages, one per
# install component (see Install.cmake), for Debian 12.
set(CPACK_PACKAGE_NAME velkan)
set(CPACK_PACKAGE_VENDOR "VELKAN Tool developers")
set(VELKAN_DEB_MAINTAINER "VELKAN Tool developers <velkan-tool@example.org>"
    CACHE STRING "Maintainer of the Debian packages: name <address>")
set(CPACK_PACKAGE_CONTACT "${VELKAN_DEB_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "programs VELKAN security chips through the USB programmer")
# Each package's description below starts with its own synopsis line; the
# DEB generator would put the project's summary over it (see the file).
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackProject.cmake)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL tools runtime dev python)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)

set(_velkan_deb_version "${PROJECT_VERSION}-1")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME velkan)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
# PostgreSQL production records need libpq, which the tools load only then.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "libpq5")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "programs VELKAN security chips through the USB programmer
velkan-tool (Qt) and velkan (command line) program VELKAN security chips
from Intel HEX files through the VELKAN USB HID programmer (0755:0102),
load the programmer's offline storage and exchange bytes with the chip
over I2C. Includes the udev rule that gives the logged-in user access to
the programmer, manual pages and bash completion.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvelkan${VELKAN_SOVERSION})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "VELKAN programmer library
libvelkan drives the VELKAN USB HID programmer: I2C exchanges with VELKAN
security chips, ISO 7816 contact cards, firmware update and the offline
storage. It includes an emulated programmer for tests.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvelkan-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libvelkan${VELKAN_SOVERSION} (= ${_velkan_deb_version})")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "VELKAN programmer library - development files
The header <velkan/velkan.h>, the link to libvelkan, the CMake package
(find_package(velkan CONFIG), target velkan::velkan) and the pkg-config
file velkan.pc.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-velkan)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3:any, libvelkan${VELKAN_SOVERSION} (>= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
    "VELKAN programmer library - Python 3 binding
The velkan module drives the VELKAN USB HID programmer from Python through
libvelkan (ctypes): programmers, I2C exchanges with the security chip,
contact cards, firmware and offline storage, with the emulated programmer
for tests.")

# Every package carries its copyright file and a Debian changelog (in the
# packages only: a plain cmake --install leaves them out). (The
# tools link the library's code statically and do not need libvelkan.)
set(_velkan_doc_packages tools velkan runtime libvelkan${VELKAN_SOVERSION} dev libvelkan-dev
                         python python3-velkan)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  string(TIMESTAMP _velkan_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
else()
  string(TIMESTAMP _velkan_date "%a, %d %b %Y 00:00:00 +0000" UTC)
endif()
while(_velkan_doc_packages)
  list(POP_FRONT _velkan_doc_packages _component _package)
  set(_dir ${CMAKE_CURRENT_BINARY_DIR}/debian-doc/${_package})
  file(MAKE_DIRECTORY ${_dir})
  file(WRITE ${_dir}/changelog.Debian
       "${_package} (${_velkan_deb_version}) unstable; urgency=medium\n\n"
       "  * Built from the VELKAN Tool sources by cpack.\n\n"
       " -- ${CPACK_PACKAGE_CONTACT}  ${_velkan_date}\n")
  execute_process(COMMAND gzip -9 -n -f ${_dir}/changelog.Debian)
  install(FILES packaging/debian/copyright ${_dir}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_package} COMPONENT ${_component}
          EXCLUDE_FROM_ALL)
endwhile()

# The library's package runs ldconfig through dpkg's trigger.
set(_velkan_control ${CMAKE_CURRENT_BINARY_DIR}/debian-control/runtime)
file(MAKE_DIRECTORY ${_velkan_control})
file(WRITE ${_velkan_control}/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${_velkan_control}/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Findings of lintian judged and kept, each with its reason in the file.
foreach(_component_package tools:velkan runtime:libvelkan${VELKAN_SOVERSION} dev:libvelkan-dev
                           python:python3-velkan)
  string(REPLACE ":" ";" _pair ${_component_package})
  list(GET _pair 0 _component)
  list(GET _pair 1 _package)
  install(FILES packaging/debian/${_package}.lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${_package}
          COMPONENT ${_component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
