# The package of the tools: on Windows a zip with DRAXO.dll, KORVAN.dll,
# draxo.exe and the installation notes (`cmake --build --preset win32
# --target package`). Only the component "tools" goes in, whatever other
# folders install.
set(draxo_pkg_component tools)
install(TARGETS draxo_tool RUNTIME DESTINATION . COMPONENT ${draxo_pkg_component})
foreach(lib draxo korvan)
  if(TARGET ${lib})
    install(TARGETS ${lib}
            RUNTIME DESTINATION . COMPONENT ${draxo_pkg_component}
            LIBRARY DESTINATION . COMPONENT ${draxo_pkg_component})
  endif()
endforeach()
if(draxo_with_rexsim)
  # Once every folder is read, when the target exists (the call runs in
  # the top folder, so the component is spelled out).
  cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL
                 install TARGETS rexsim RUNTIME DESTINATION . COMPONENT tools)
endif()
if(WIN32)
  # Windows line ends, for Notepad.
  configure_file(${PROJECT_SOURCE_DIR}/docs/INSTALL-windows.txt
                 ${CMAKE_CURRENT_BINARY_DIR}/INSTALL-windows.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/INSTALL-windows.txt DESTINATION .
          COMPONENT ${draxo_pkg_component})
endif()

set(CPACK_PACKAGE_NAME "draxo")
set(CPACK_PACKAGE_VENDOR "DRAXO")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_PACKAGE_FILE_NAME "draxo-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};${draxo_pkg_component};/")
include(CPack)
