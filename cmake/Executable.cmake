# Nimbrel.exe: the real platform, the icon and the version record.
enable_language(RC)

add_library(nimbrel_win32 STATIC platform/win32/forwarders.cpp)
target_include_directories(nimbrel_win32 PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(nimbrel_win32 PUBLIC advapi32)

# winspool.drv is delay-loaded: loaded at the first printer call rather than
# at process start. Under Wine it brings user32, gdi32, comctl32 and the theme
# engine with it (some 10 MB and 15 ms per process), which a status report of
# a stopped spooler, or one with the queue check off, never uses.
if(MINGW)
  find_program(NIMBREL_DLLTOOL NAMES x86_64-w64-mingw32-dlltool dlltool REQUIRED)
  set(NIMBREL_WINSPOOL_DELAY ${CMAKE_CURRENT_BINARY_DIR}/libwinspool_delay.a)
  add_custom_command(OUTPUT ${NIMBREL_WINSPOOL_DELAY}
    COMMAND ${NIMBREL_DLLTOOL} --input-def ${PROJECT_SOURCE_DIR}/platform/win32/winspool.def
            --dllname winspool.drv --output-delaylib ${NIMBREL_WINSPOOL_DELAY}
    DEPENDS ${PROJECT_SOURCE_DIR}/platform/win32/winspool.def
    COMMENT "Making the delay-load library of winspool.drv")
  add_custom_target(nimbrel_winspool_delay DEPENDS ${NIMBREL_WINSPOOL_DELAY})
  add_dependencies(nimbrel_win32 nimbrel_winspool_delay)
  target_link_libraries(nimbrel_win32 PUBLIC ${NIMBREL_WINSPOOL_DELAY})
elseif(MSVC)
  target_link_libraries(nimbrel_win32 PUBLIC winspool delayimp)
  target_link_options(nimbrel_win32 INTERFACE /DELAYLOAD:winspool.drv)
else()
  target_link_libraries(nimbrel_win32 PUBLIC winspool)
endif()

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
