# GoogleTest for the test executables. Debian ships it built for the build
# machine only; a cross build compiles it from the sources that Debian's
# googletest package installs.
if(CMAKE_CROSSCOMPILING)
  set(QELT_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources, compiled for cross builds")
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # Its own project defines GTest::gtest, as the installed package does.
  add_subdirectory(${QELT_GOOGLETEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  # Not our code: its warnings (GCC 12 reports a false -Wrestrict in it when
  # optimising) must not stop the build.
  target_compile_options(gtest PRIVATE -Wno-error)
else()
  find_package(GTest REQUIRED)
endif()
