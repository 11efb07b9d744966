# Settings of the Windows builds (mingw-w64): a self-contained program and
# plug-ins that import nothing but the system's own DLLs, and plug-ins whose
# __stdcall entry points are exported under their plain names.

# The gtest suite runs on the build machine only; the Windows builds are
# checked by scripts/windows.sh under Wine instead.
if(VEXEL_TESTS)
  message(STATUS "Windows build: the unit tests are not cross-built (VEXEL_TESTS off)")
  set(VEXEL_TESTS OFF)
endif()

# libgcc, libstdc++ and winpthread linked in, so that vexel.exe and every
# .spi run on a bare Windows. vexel exists already when this file is read;
# the plug-ins and test programs made later take the directory setting.
set(VEXEL_WIN_STATIC -static -static-libgcc -static-libstdc++)
add_link_options(${VEXEL_WIN_STATIC})
target_link_options(vexel PRIVATE ${VEXEL_WIN_STATIC})

# The executable has nothing to export: plug-ins take LocalAlloc & co. from
# kernel32 like every other DLL.
set_target_properties(vexel PROPERTIES ENABLE_EXPORTS OFF)

# Makes target a Susie plug-in: <name>.spi in the plug-in directory of the
# build, with undecorated exports (GetPluginInfo rather than
# _GetPluginInfo@12 on i686, which is how callers look them up).
function(vexel_spi_plugin target)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    SUFFIX ".spi"
    RUNTIME_OUTPUT_DIRECTORY ${VEXEL_SPI_DIR}
    LIBRARY_OUTPUT_DIRECTORY ${VEXEL_SPI_DIR})
  target_link_options(${target} PRIVATE -Wl,--kill-at)
endfunction()

# The Windows-only checks (a plug-in test program run under Wine).
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/win/CMakeLists.txt)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/win ${CMAKE_BINARY_DIR}/tests/win)
endif()
