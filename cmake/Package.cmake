# cpack -G DEB (run in the build folder): five Debian packages, one per
# install component (see Install.cmake), for Debian 12. cpack's packages are
# finished as debhelper would (packaging/debian/finish-deb, run by
# cmake/DebFinish.cmake): sections left out by strip, Multi-Arch, the
# library's symbols file, checksums and installed sizes.
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
if(VELKAN_BUILD_GUI)
  list(APPEND CPACK_COMPONENTS_ALL gui)
endif()
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
# Production runs keep their records with SQLite, and PostgreSQL records
# need libpq: the tools load either library only when a record is opened
# (cmake/SqliteOnDemand.cmake), so neither shows in their link line.
# Signed jobs link libsodium.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libsqlite3-0 (>= 3.31), libsodium23")
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "libpq5")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "velkan-tool")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "programs VELKAN security chips through the USB programmer (command line)
velkan programs VELKAN security chips from Intel HEX files through the
VELKAN USB HID programmer (0755:0102), loads the programmer's offline
storage, exchanges bytes with the chip over I2C and runs production lines.
It needs no graphical environment (the desktop application is in the
package velkan-tool). Includes the udev rule that gives the logged-in user
access to the programmer, the manual page and bash completion.")

set(CPACK_DEBIAN_GUI_PACKAGE_NAME velkan-tool)
set(CPACK_DEBIAN_GUI_PACKAGE_SECTION electronics)
# The pages are Chinese: without a font that has the glyphs, Qt draws boxes.
# The udev rule comes with velkan.
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS
    "velkan (= ${_velkan_deb_version}), libsqlite3-0 (>= 3.31), libsodium23, fonts-wqy-microhei | fonts-noto-cjk")
# Qt's own dialogs (file selection, message boxes) in Chinese too.
set(CPACK_DEBIAN_GUI_PACKAGE_RECOMMENDS "qt6-translations-l10n")
set(CPACK_COMPONENT_GUI_DESCRIPTION
    "programs VELKAN security chips through the USB programmer (desktop)
velkan-tool, a Qt application with Chinese pages, programs VELKAN security
chips from Intel HEX files through the VELKAN USB HID programmer
(0755:0102), loads the programmer's offline storage, exchanges bytes with
the chip over I2C and runs production lines. Includes the desktop entry,
the icon and the manual page.")

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
if(VELKAN_BUILD_GUI)
  list(APPEND _velkan_doc_packages gui velkan-tool)
endif()
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

# The Python package is byte-compiled when installed and its byte-code
# removed with it, through python3's py3compile and py3clean, as
# dh_python3's scripts do.
set(_velkan_control ${CMAKE_CURRENT_BINARY_DIR}/debian-control/python)
file(MAKE_DIRECTORY ${_velkan_control})
file(WRITE ${_velkan_control}/postinst
     "#!/bin/sh\nset -e\n\n"
     "if command -v py3compile >/dev/null 2>&1; then\n"
     "\tpy3compile -p python3-velkan\n"
     "fi\n")
file(WRITE ${_velkan_control}/prerm
     "#!/bin/sh\nset -e\n\n"
     "if command -v py3clean >/dev/null 2>&1; then\n"
     "\tpy3clean -p python3-velkan\n"
     "else\n"
     "\tdpkg -L python3-velkan | sed -En -e '/^(.*)\\/(.+)\\.py$/s,,rm \"\\1/__pycache__/\\2\".*,e'\n"
     "\tfind /usr/lib/python3/dist-packages/velkan -type d -name __pycache__ -empty -print0 |"
     " xargs --null --no-run-if-empty rmdir\n"
     "fi\n")
file(CHMOD ${_velkan_control}/postinst ${_velkan_control}/prerm
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                      WORLD_EXECUTE)
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${_velkan_control}/postinst ${_velkan_control}/prerm)
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The finishing step after cpack (see the top of this file).
set(VELKAN_DEB_FINISH ${PROJECT_SOURCE_DIR}/packaging/debian/finish-deb)
set(VELKAN_LIBRARY_PACKAGE libvelkan${VELKAN_SOVERSION})
configure_file(cmake/DebFinish.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/DebFinish.cmake @ONLY)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_BINARY_DIR}/DebFinish.cmake)

# Findings of lintian judged and kept, each with its reason in the file.
set(_velkan_override_packages tools:velkan runtime:libvelkan${VELKAN_SOVERSION} dev:libvelkan-dev
                              python:python3-velkan)
if(VELKAN_BUILD_GUI)
  list(APPEND _velkan_override_packages gui:velkan-tool)
endif()
foreach(_component_package ${_velkan_override_packages})
  string(REPLACE ":" ";" _pair ${_component_package})
  list(GET _pair 0 _component)
  list(GET _pair 1 _package)
  install(FILES packaging/debian/${_package}.lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${_package}
          COMPONENT ${_component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
