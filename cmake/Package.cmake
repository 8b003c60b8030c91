# The release ZIP for administrators, made by CPack from the Windows build:
#   Nimbrel-<version>/Nimbrel.exe
#   Nimbrel-<version>/Nimbrel.ini.sample
#   Nimbrel-<version>/plugins/check-printer-queue.cmd
#   Nimbrel-<version>/README.md
#   Nimbrel-<version>/LICENSE.txt
#   Nimbrel-<version>/policy/Nimbrel.admx
#   Nimbrel-<version>/policy/en-US/Nimbrel.adml
# and, from the same files, the Windows Installer package
# Nimbrel-<version>-x64.msi (cmake/Msi.cmake, with wixl).
# `cmake --build --preset mingw --target package` writes both into the build
# folder. CPack's ZIP generator archives with CMake's own libarchive, so no
# zip program is needed.

# The text files travel with Windows line ends whatever the checkout has:
# cmd.exe misreads labels in a batch file with bare line feeds, and an
# administrator opens the others in Notepad.
set(NIMBREL_PACKAGE_TEXTS
  "Nimbrel.ini.sample|Nimbrel.ini.sample|."
  "plugins/check-printer-queue.cmd|check-printer-queue.cmd|plugins"
  "README.md|README.md|."
  "LICENSE|LICENSE.txt|."
  "policy/Nimbrel.admx|Nimbrel.admx|policy"
  "policy/en-US/Nimbrel.adml|Nimbrel.adml|policy/en-US")
foreach(entry IN LISTS NIMBREL_PACKAGE_TEXTS)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 source)
  list(GET entry 1 name)
  list(GET entry 2 destination)
  set(source ${PROJECT_SOURCE_DIR}/${source})
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/package/${destination}/${name})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} content)
  string(REPLACE "\r\n" "\n" content "${content}")
  string(REPLACE "\n" "\r\n" content "${content}")
  file(WRITE ${copy} "${content}")
  install(FILES ${copy} DESTINATION ${destination})
endforeach()

# Nimbrel.exe is signed before it is packed (scripts/sign: unsigned, and
# saying so, without a certificate in the environment), once for both
# packages. A Windows build without bash packs it unsigned, for signtool.
find_program(NIMBREL_BASH bash)
if(NIMBREL_BASH)
  install(CODE "
    execute_process(COMMAND \"${NIMBREL_BASH}\" \"${PROJECT_SOURCE_DIR}/scripts/sign\" --once \"$<TARGET_FILE:Nimbrel>\"
                    RESULT_VARIABLE nimbrel_sign)
    if(NOT nimbrel_sign EQUAL 0)
      message(FATAL_ERROR \"Nimbrel.exe could not be signed\")
    endif()")
endif()
install(TARGETS Nimbrel RUNTIME DESTINATION .)

set(CPACK_GENERATOR ZIP)
find_program(NIMBREL_WIXL wixl)
if(NIMBREL_WIXL AND NIMBREL_BASH)
  list(APPEND CPACK_GENERATOR External)
  set(CPACK_EXTERNAL_ENABLE_STAGING ON)
  set(CPACK_EXTERNAL_PACKAGE_SCRIPT ${PROJECT_SOURCE_DIR}/cmake/Msi.cmake)
  set(CPACK_NIMBREL_WIXL ${NIMBREL_WIXL})
  set(CPACK_NIMBREL_WXS_TEMPLATE ${PROJECT_SOURCE_DIR}/cmake/Nimbrel.wxs.in)
  set(CPACK_NIMBREL_ICON ${NIMBREL_ICON})
  set(CPACK_NIMBREL_BASH ${NIMBREL_BASH})
  set(CPACK_NIMBREL_SIGN ${PROJECT_SOURCE_DIR}/scripts/sign)
else()
  message(WARNING "wixl (Debian package wixl) or bash not found: the package target makes the ZIP only, no MSI")
endif()
set(CPACK_PACKAGE_NAME Nimbrel)
set(CPACK_PACKAGE_VENDOR "The Nimbrel developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_FILE_NAME Nimbrel-${PROJECT_VERSION})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
include(CPack)
