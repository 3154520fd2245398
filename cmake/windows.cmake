# Vantoro.dll for 32-bit Windows and its test host. Included by the top-level
# CMakeLists.txt when the target is Windows (cmake/toolchain-mingw-i686.cmake,
# preset win32).

# The export table is exactly engine/exports/vantoro.def: the header gives
# nothing the dllexport attribute when the library itself is built.

add_library(vantoro_dll SHARED
  ${CMAKE_SOURCE_DIR}/engine/exports/dll_main.cpp
  ${CMAKE_SOURCE_DIR}/engine/exports/cvantoro_msvc.cpp
  ${CMAKE_SOURCE_DIR}/engine/exports/vantoro.def)
# winmm: the wave output; user32: the warning boxes; ksguid: the static
# definitions of the two subformat GUIDs of the stream descriptor.
target_link_libraries(vantoro_dll PRIVATE vantoro_objects winmm user32 ksguid)
# Nothing is exported but what the .def file lists.
target_link_options(vantoro_dll PRIVATE -Wl,--exclude-all-symbols)
set_target_properties(vantoro_dll PROPERTIES
  OUTPUT_NAME Vantoro
  PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  LINK_DEPENDS ${CMAKE_SOURCE_DIR}/engine/exports/vantoro.def)

if(VANTORO_TESTS)
  # Loads Vantoro.dll at run time as any host would; run under Wine by
  # scripts/test-win32.
  add_executable(vantoro_host ${CMAKE_SOURCE_DIR}/tests/windows/vantoro_host.cpp)
  target_include_directories(vantoro_host PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_link_libraries(vantoro_host PRIVATE user32)
  set_target_properties(vantoro_host PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  add_dependencies(vantoro_host vantoro_dll)
endif()
