# Nimbrel.exe: the real platform, the icon and the version record.
enable_language(RC)

add_library(nimbrel_win32 STATIC platform/win32/forwarders.cpp)
target_include_directories(nimbrel_win32 PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(nimbrel_win32 PUBLIC advapi32 winspool)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(NIMBREL_ICON ${CMAKE_CURRENT_BINARY_DIR}/nimbrel.ico)
add_custom_command(OUTPUT ${NIMBREL_ICON}
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/app/res/make_icon.py ${NIMBREL_ICON}
  DEPENDS ${PROJECT_SOURCE_DIR}/app/res/make_icon.py
  COMMENT "Drawing the application icon")
configure_file(app/res/nimbrel.rc.in ${CMAKE_CURRENT_BINARY_DIR}/nimbrel.rc @ONLY)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/nimbrel.rc PROPERTIES OBJECT_DEPENDS ${NIMBREL_ICON})

add_executable(Nimbrel app/main.cpp ${CMAKE_CURRENT_BINARY_DIR}/nimbrel.rc)
target_link_libraries(Nimbrel PRIVATE nimbrel_logic nimbrel_win32)
if(MINGW)
  # A bare Windows has no MinGW runtime DLLs: link everything in.
  target_link_options(Nimbrel PRIVATE -municode -static -s)
endif()

include(cmake/Package.cmake)
