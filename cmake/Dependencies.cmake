# fmt and GoogleTest. On Linux both come from the system packages; for the
# Windows cross build fmt is compiled once from the system headers and
# GoogleTest from the sources Debian ships.
if(WIN32)
  # Never put /usr/include on a mingw include path: it shadows the mingw
  # headers. A folder that holds only a link to fmt's headers does the job.
  set(SCRIBE_FMT_INCLUDE ${CMAKE_BINARY_DIR}/fmt-include)
  file(MAKE_DIRECTORY ${SCRIBE_FMT_INCLUDE})
  if(NOT EXISTS ${SCRIBE_FMT_INCLUDE}/fmt)
    file(CREATE_LINK /usr/include/fmt ${SCRIBE_FMT_INCLUDE}/fmt SYMBOLIC)
  endif()
  add_library(scribe_fmt STATIC ${PROJECT_SOURCE_DIR}/third_party/fmt_build.cpp)
  target_include_directories(scribe_fmt SYSTEM PUBLIC ${SCRIBE_FMT_INCLUDE})
  target_compile_options(scribe_fmt PRIVATE -w)

  # GoogleTest's own build names its targets GTest::gtest, GTest::gtest_main
  # and GTest::gmock, as the packaged config does on Linux.
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(fmt 9 REQUIRED)
  add_library(scribe_fmt INTERFACE)
  target_link_libraries(scribe_fmt INTERFACE fmt::fmt)
  find_package(GTest REQUIRED)
endif()
find_package(Threads REQUIRED)
