# The product version and the version resource that the Windows executables
# carry (the crash dumps' names read ProductVersion from the installed
# Wayline.exe). The Linux build makes one small Windows program with the same
# resource, wayline_version_probe.exe next to the test programs, so that the
# tests of the version reader read a real Windows executable of ours on both
# systems; that needs the mingw-w64 C compiler and windres.
set(SCRIBE_PRODUCT_VERSION 9.2.0.0)
string(REPLACE "." "," SCRIBE_VERSION_COMMAS ${SCRIBE_PRODUCT_VERSION})
set(SCRIBE_VERSION_RC ${CMAKE_BINARY_DIR}/version.rc)
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.rc.in ${SCRIBE_VERSION_RC} @ONLY)

if(WIN32)
  enable_language(RC)
  # Adds the version resource to an executable target.
  function(scribe_add_version_resource target)
    target_sources(${target} PRIVATE ${SCRIBE_VERSION_RC})
  endfunction()
else()
  function(scribe_add_version_resource target)
  endfunction()
  find_program(SCRIBE_MINGW_CC NAMES x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-gcc)
  find_program(SCRIBE_MINGW_WINDRES x86_64-w64-mingw32-windres)
  set(SCRIBE_VERSION_PROBE ${CMAKE_BINARY_DIR}/tests/wayline_version_probe.exe)
  if(SCRIBE_MINGW_CC AND SCRIBE_MINGW_WINDRES)
    add_custom_command(
      OUTPUT ${SCRIBE_VERSION_PROBE}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/tests
      COMMAND ${SCRIBE_MINGW_WINDRES} -O coff -i ${SCRIBE_VERSION_RC} -o ${CMAKE_BINARY_DIR}/version_probe.res.o
      COMMAND ${SCRIBE_MINGW_CC} -O1 -s -o ${SCRIBE_VERSION_PROBE} ${PROJECT_SOURCE_DIR}/tests/support/version_probe.c
              ${CMAKE_BINARY_DIR}/version_probe.res.o
      DEPENDS ${SCRIBE_VERSION_RC} ${PROJECT_SOURCE_DIR}/tests/support/version_probe.c
      COMMENT "Building the Windows version probe with mingw-w64")
    add_custom_target(scribe_version_probe ALL DEPENDS ${SCRIBE_VERSION_PROBE})
  else()
    message(WARNING "mingw-w64 (gcc and windres) not found: the version reader tests will fail "
                    "for want of wayline_version_probe.exe")
    add_custom_target(scribe_version_probe)
  endif()
endif()
