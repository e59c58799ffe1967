# Installs a build into a staging root as a package would (prefix /usr),
# then builds and runs a small program of another project against the
# installed files only, through pkg-config and through find_package(qelt):
# it must load the staged library. Variables: see ./CMakeLists.txt.
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

# Runs a consumer built against the staging root; it must name the staged
# library as the one it was loaded from.
function(expect_staged_library how program)
  run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR} ${EMULATOR} ${program})
  string(STRIP "${out}" out)
  if(NOT out MATCHES "^libqelt [0-9]+\\.[0-9]+ from ${prefix}/${LIBDIR}/libqelt\\.so\\.1\\.1$")
    message(FATAL_ERROR "consumer built through ${how} printed: ${out}")
  endif()
  message(STATUS "${how}: ${out}")
endfunction()

set(prefix ${STAGING}/usr)
set(work ${STAGING}-work)
file(REMOVE_RECURSE ${STAGING} ${work})
file(MAKE_DIRECTORY ${work})
run(${CMAKE_COMMAND} -E env DESTDIR=${STAGING} ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr)

# pkg-config: the staged .pc only, its paths moved under the staging root.
set(ENV{PKG_CONFIG_LIBDIR} ${prefix}/${LIBDIR}/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${STAGING})
run(pkg-config --cflags --libs qelt)
separate_arguments(pc_flags UNIX_COMMAND "${out}")
separate_arguments(c_flags UNIX_COMMAND "${C_FLAGS}")
run(${C_COMPILER} ${c_flags} ${CONSUMER_DIR}/consumer.c ${pc_flags} -o ${work}/consumer-pkg-config)
expect_staged_library(pkg-config ${work}/consumer-pkg-config)

# find_package(qelt) through the staged CMake package.
if(TOOLCHAIN)
  set(compiler -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
else()
  set(compiler -DCMAKE_C_COMPILER=${C_COMPILER})
endif()
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${work}/cmake ${compiler} "-DCMAKE_C_FLAGS=${C_FLAGS}"
    -DCMAKE_PREFIX_PATH=/usr -DQELT_STAGING=${STAGING})
run(${CMAKE_COMMAND} --build ${work}/cmake)
expect_staged_library(find_package ${work}/cmake/consumer)
