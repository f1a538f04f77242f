# The Windows release: version resources (and the application's icon), the
# import libraries of velkan.dll, the C++ runtime, what goes beside the
# programs in the zip and the installer, and CPack's ZIP and NSIS settings.
# Included by the top-level CMakeLists.txt after the install rules.
set(_velkan_win ${PROJECT_SOURCE_DIR}/packaging/windows)

# Version resources: FILEVERSION 2,0,0,6 and the names Explorer shows.
string(REPLACE "." "," VELKAN_RC_VERSION_COMMAS "${PROJECT_VERSION}")
function(velkan_version_resource target filename description filetype)
  set(VELKAN_RC_NAME ${target})
  set(VELKAN_RC_FILENAME ${filename})
  set(VELKAN_RC_DESCRIPTION ${description})
  set(VELKAN_RC_FILETYPE ${filetype})
  set(VELKAN_RC_ICON "")
  if(ARGN)
    # The first icon of a program is the one Explorer and the Start menu show.
    set(VELKAN_RC_ICON "1 ICON \"${ARGN}\"")
  endif()
  configure_file(${_velkan_win}/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/rc/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/rc/${target}.rc)
endfunction()
velkan_version_resource(velkan velkan.dll "VELKAN programmer library" VFT_DLL)
velkan_version_resource(velkan_cli velkan.exe "VELKAN Tool command line" VFT_APP)
if(TARGET velkan_tool)
  velkan_version_resource(velkan_tool velkan-tool.exe "VELKAN Tool" VFT_APP
                          ${_velkan_win}/velkan-tool.ico)
  # A desktop application: no console window of its own.
  set_target_properties(velkan_tool PROPERTIES WIN32_EXECUTABLE ON)
endif()

# One C++ runtime a process. The programs without Qt carry theirs inside
# (nothing but system DLLs beside them); Qt's DLLs use libstdc++-6.dll, so
# whatever links Qt uses that one too, and it ships beside them.
#   velkan_shared_runtime_in(dir...): the programs of these folders (those
#   that link Qt) use the shared runtime; called after the folders are added.
function(velkan_shared_runtime_in)
  if(NOT VELKAN_BUILD_GUI)
    return()
  endif()
  foreach(_dir ${ARGN})
    if(IS_DIRECTORY ${PROJECT_SOURCE_DIR}/${_dir})
      get_property(_targets DIRECTORY ${PROJECT_SOURCE_DIR}/${_dir} PROPERTY BUILDSYSTEM_TARGETS)
      foreach(_target ${_targets})
        get_target_property(_type ${_target} TYPE)
        if(_type STREQUAL "EXECUTABLE")
          set_property(TARGET ${_target} PROPERTY VELKAN_SHARED_RUNTIME ON)
        endif()
      endforeach()
    endif()
  endforeach()
endfunction()
set(VELKAN_MINGW_RUNTIME_DLLS "")
if(VELKAN_BUILD_GUI)
  foreach(_dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll}
                    OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${_path}")
      # libwinpthread lives in the sysroot's bin folder.
      find_file(_path_${_dll} ${_dll} PATHS /usr/${VELKAN_MINGW_TRIPLET}/lib
                /usr/${VELKAN_MINGW_TRIPLET}/bin NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
      set(_path ${_path_${_dll}})
    endif()
    if(NOT EXISTS "${_path}")
      message(FATAL_ERROR "${_dll} (mingw-w64's runtime) not found")
    endif()
    list(APPEND VELKAN_MINGW_RUNTIME_DLLS ${_path})
  endforeach()
endif()

# Import libraries of velkan.dll: libvelkan.dll.a from the linker (MinGW) and
# velkan.lib for Microsoft's linker, made from the exports file by dlltool
# (llvm-dlltool writes the short import format of Microsoft's lib.exe).
set(_velkan_def ${PROJECT_SOURCE_DIR}/src/programmer/velkan.def)
find_program(VELKAN_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 ${VELKAN_MINGW_TRIPLET}-dlltool dlltool)
if(NOT VELKAN_DLLTOOL)
  message(FATAL_ERROR "no dlltool for velkan.lib (package llvm or binutils-mingw-w64-x86-64)")
endif()
set(VELKAN_IMPORT_LIB ${CMAKE_BINARY_DIR}/lib/velkan.lib)
add_custom_command(OUTPUT ${VELKAN_IMPORT_LIB}
                   COMMAND ${VELKAN_DLLTOOL} -m i386:x86-64 -d ${_velkan_def} -D velkan.dll
                           -l ${VELKAN_IMPORT_LIB}
                   DEPENDS ${_velkan_def} VERBATIM)
add_custom_target(velkan_import_lib ALL DEPENDS ${VELKAN_IMPORT_LIB})
install(FILES ${VELKAN_IMPORT_LIB} ${_velkan_def} DESTINATION ${CMAKE_INSTALL_LIBDIR}
        COMPONENT dev)

# Beside the programs: the README and the licence; with the desktop
# application, the C++ runtime, Qt's DLLs, its windows platform plugin and
# style, and Qt's Chinese translations (Debian's qt6-translations-l10n).
configure_file(${_velkan_win}/README.txt ${CMAKE_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/LICENSE.txt COPYONLY)
install(FILES ${CMAKE_BINARY_DIR}/README.txt ${CMAKE_BINARY_DIR}/LICENSE.txt DESTINATION .
        COMPONENT tools)
# PostgreSQL's client library (scripts/build-libpq-mingw) beside the
# programs, which load it from their own folder when a record is a
# postgresql:// address; the programs in the build tree (the tests under
# wine) load the same copy. libsodium is linked into the programs. Both
# licences ask for their text to go with copies.
if(VELKAN_WITH_POSTGRES)
  install(FILES ${VELKAN_MINGW_PQ_PREFIX}/bin/libpq.dll DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT tools)
  install(FILES ${VELKAN_MINGW_PQ_PREFIX}/share/doc/libpq/COPYRIGHT DESTINATION licenses
          RENAME libpq.txt COMPONENT tools)
  configure_file(${VELKAN_MINGW_PQ_PREFIX}/bin/libpq.dll ${CMAKE_BINARY_DIR}/bin/libpq.dll COPYONLY)
endif()
if(VELKAN_WITH_SODIUM)
  install(FILES ${VELKAN_MINGW_SODIUM_PREFIX}/share/doc/libsodium/LICENSE DESTINATION licenses
          RENAME libsodium.txt COMPONENT tools)
endif()
if(VELKAN_BUILD_GUI AND VELKAN_MINGW_QT_FOUND)
  # The DLLs that go beside the desktop application come from elsewhere with
  # their debug sections (libstdc++-6.dll is 23 MB of which 2 MB is code);
  # cpack strips only what the project builds, so they are copied here once,
  # stripped, and both the build tree and the packages take the copies.
  #   velkan_stripped_dlls(<var> <subfolder> <dll>...): <var> = the copies
  function(velkan_stripped_dlls var subfolder)
    set(_copies "")
    foreach(_dll ${ARGN})
      get_filename_component(_name ${_dll} NAME)
      set(_copy ${CMAKE_BINARY_DIR}/stripped/${subfolder}/${_name})
      if(NOT EXISTS ${_copy} OR ${_dll} IS_NEWER_THAN ${_copy})
        file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/stripped/${subfolder})
        execute_process(COMMAND ${CMAKE_STRIP} --strip-unneeded -o ${_copy} ${_dll}
                        RESULT_VARIABLE _rc ERROR_VARIABLE _error)
        if(NOT _rc EQUAL 0)
          message(FATAL_ERROR "stripping ${_dll}: ${_error}")
        endif()
      endif()
      list(APPEND _copies ${_copy})
    endforeach()
    set(${var} ${_copies} PARENT_SCOPE)
  endfunction()
  set(_qt ${VELKAN_MINGW_QT_PREFIX})
  velkan_stripped_dlls(_dlls . ${VELKAN_MINGW_RUNTIME_DLLS} ${_qt}/bin/Qt6Core.dll
                       ${_qt}/bin/Qt6Gui.dll ${_qt}/bin/Qt6Widgets.dll)
  velkan_stripped_dlls(_platform platforms ${_qt}/plugins/platforms/qwindows.dll)
  install(FILES ${_dlls} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
  install(FILES ${_platform} DESTINATION ${CMAKE_INSTALL_BINDIR}/platforms COMPONENT gui)
  if(EXISTS ${_qt}/plugins/styles/qwindowsvistastyle.dll)
    velkan_stripped_dlls(_style styles ${_qt}/plugins/styles/qwindowsvistastyle.dll)
    install(FILES ${_style} DESTINATION ${CMAKE_INSTALL_BINDIR}/styles COMPONENT gui)
    file(COPY ${_style} DESTINATION ${CMAKE_BINARY_DIR}/bin/styles)
  endif()
  file(GLOB _qt_zh /usr/share/qt6/translations/qtbase_zh_CN.qm)
  if(_qt_zh)
    # Where Qt looks for them on Windows: a translations folder beside the
    # programs (and its DLLs).
    install(FILES ${_qt_zh} DESTINATION ${CMAKE_INSTALL_BINDIR}/translations COMPONENT gui)
    file(COPY ${_qt_zh} DESTINATION ${CMAKE_BINARY_DIR}/bin/translations)
  endif()
  # The programs in the build tree run under wine (the tests) with the same
  # DLLs beside them, and the offscreen platform for the UI suite.
  velkan_stripped_dlls(_test_dlls . ${_qt}/bin/Qt6Test.dll)
  velkan_stripped_dlls(_offscreen platforms ${_qt}/plugins/platforms/qoffscreen.dll)
  file(COPY ${_dlls} ${_test_dlls} DESTINATION ${CMAKE_BINARY_DIR}/bin)
  file(COPY ${_platform} ${_offscreen} DESTINATION ${CMAKE_BINARY_DIR}/bin/platforms)
endif()

# cpack (scripts/package-windows): velkan-<version>-windows-x64.zip and
# velkan-<version>-windows-x64-setup.exe, binaries stripped.
set(CPACK_PACKAGE_NAME velkan)
set(CPACK_PACKAGE_VENDOR "VELKAN Tool")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_FILE_NAME velkan-${PROJECT_VERSION}-windows-x64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY "VELKAN Tool")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_BINARY_DIR}/LICENSE.txt)
set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_STRIP_FILES ON)
# NSIS: the 64-bit installer stub (the default one is 32-bit), installed in
# Program Files, the icon, Start-menu entries and the uninstaller's entry.
# (CPack 3.25 writes its own CPACK_NSIS_DEFINES over ours: the target goes in
# with the compressor, the first line of the script's settings.)
set(CPACK_NSIS_COMPRESSOR "lzma\n  Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_PACKAGE_NAME "VELKAN Tool ${PROJECT_VERSION}")
set(CPACK_NSIS_DISPLAY_NAME "VELKAN Tool")
set(CPACK_NSIS_MUI_ICON ${_velkan_win}/velkan-tool.ico)
set(CPACK_NSIS_MUI_UNIICON ${_velkan_win}/velkan-tool.ico)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
if(VELKAN_BUILD_GUI)
  set(CPACK_PACKAGE_EXECUTABLES velkan-tool "VELKAN Tool")
  set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\\\velkan-tool.exe")
  set(CPACK_CREATE_DESKTOP_LINKS velkan-tool)
else()
  set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\\\velkan.exe")
endif()
set(CPACK_NSIS_MENU_LINKS "README.txt" "README" "LICENSE.txt" "Licence")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackProject.cmake)
include(CPack)
