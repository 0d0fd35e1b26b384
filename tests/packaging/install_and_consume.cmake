# cmake -DBUILD_DIR=... -DWORK_DIR=... -P install_and_consume.cmake
# (the variables are set by tests/packaging/CMakeLists.txt)
#
#  1. cmake --install BUILD_DIR --prefix WORK_DIR/prefix, components runtime and development
#  2. the layout: header, library with its SONAME links, CMake package, tavlib.pc
#  3. the consumer project through find_package(tavlib VERSION): configure,
#     build, run; a request for the next major version must be refused
#  4. the same main.c through pkg-config and one compiler call, then run
# Each run must report Open_Tavril(4) = -3 from the installed library file.
cmake_minimum_required(VERSION 3.25)

set(prefix ${WORK_DIR}/prefix)
set(libdir ${prefix}/${LIBDIR})
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/runtime)

# Runs a command; stops the test with its output unless it exits with 0.
# The output lands in the variable named by OUTPUT.
function(step what)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUTPUT" "COMMAND")
  execute_process(COMMAND ${arg_COMMAND} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${arg_COMMAND}\n${out}\n${err}")
  endif()
  message(STATUS "ok: ${what}")
  if(arg_OUTPUT)
    set(${arg_OUTPUT} "${out}" PARENT_SCOPE)
  endif()
endfunction()

# Runs the consumer program and checks what it says.
function(check_consumer what program)
  step("${what}: run" OUTPUT out
       COMMAND ${CMAKE_COMMAND} -E env TAVRIL_RUNTIME_DIR=${WORK_DIR}/runtime ${program})
  string(STRIP "${out}" out)
  string(REPLACE "\n" "; " shown "${out}")
  message(STATUS "   ${shown}")
  if(NOT out MATCHES "Open_Tavril\\(4\\) = -3, errorCode 0, handle invalid")
    message(FATAL_ERROR "${what}: unexpected result:\n${out}")
  endif()
  if(NOT out MATCHES "library: ([^\n]*)")
    message(FATAL_ERROR "${what}: the program did not name its library:\n${out}")
  endif()
  file(REAL_PATH "${CMAKE_MATCH_1}" used)
  file(REAL_PATH "${libdir}/libtavlib.so.${VERSION}" installed)
  if(NOT used STREQUAL installed)
    message(FATAL_ERROR "${what}: ran against ${used}, not the installed ${installed}")
  endif()
endfunction()

# 1. install the library's two components (the rest of the project, tools
# and simulator, is not what this test is about)
foreach(component runtime development)
  step("cmake --install --component ${component}"
       COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component ${component})
endforeach()

# 2. layout
string(REGEX MATCH "^[0-9]+" major "${VERSION}")
foreach(file ${INCLUDEDIR}/tavlib.h
             ${LIBDIR}/libtavlib.so.${VERSION}
             ${LIBDIR}/cmake/tavlib/tavlibConfig.cmake
             ${LIBDIR}/cmake/tavlib/tavlibConfigVersion.cmake
             ${LIBDIR}/cmake/tavlib/tavlibTargets.cmake
             ${LIBDIR}/pkgconfig/tavlib.pc)
  if(NOT EXISTS ${prefix}/${file} OR IS_SYMLINK ${prefix}/${file})
    message(FATAL_ERROR "not installed as a file: ${file}")
  endif()
endforeach()
foreach(link_target IN ITEMS "libtavlib.so:libtavlib.so.${major}"
                             "libtavlib.so.${major}:libtavlib.so.${VERSION}")
  string(REPLACE ":" ";" pair "${link_target}")
  list(GET pair 0 link)
  list(GET pair 1 target)
  if(NOT IS_SYMLINK ${libdir}/${link})
    message(FATAL_ERROR "${link} is not a symbolic link")
  endif()
  file(READ_SYMLINK ${libdir}/${link} points_to)
  if(NOT points_to STREQUAL target)
    message(FATAL_ERROR "${link} points to ${points_to}, expected ${target}")
  endif()
endforeach()
message(STATUS "ok: installed layout")

# 3. find_package
set(consumer_args -G ${GENERATOR} -DCMAKE_C_COMPILER=${C_COMPILER}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
    "-DCMAKE_C_FLAGS=${EXTRA_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${EXTRA_FLAGS}")
step("find_package: configure"
     COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-build ${consumer_args}
             -DTAVLIB_REQUEST=${VERSION} -DTAVLIB_EXPECTED_DIR=${libdir}/cmake/tavlib)
step("find_package: build" COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
check_consumer("find_package" ${WORK_DIR}/cmake-build/consumer)

math(EXPR next_major "${major} + 1")
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-next ${consumer_args}
          -DTAVLIB_REQUEST=${next_major}.0
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc EQUAL 0 OR NOT err MATCHES "version: ${VERSION}")
  message(FATAL_ERROR "find_package(tavlib ${next_major}.0) was not refused for version ${VERSION}:\n${out}\n${err}")
endif()
message(STATUS "ok: find_package(tavlib ${next_major}.0) refused")

# 4. pkg-config
if(NOT PKG_CONFIG)
  message(FATAL_ERROR "pkg-config not found (Debian: apt-get install pkg-config)")
endif()
# Only the installed tavlib.pc is visible.
set(pc_env ${CMAKE_COMMAND} -E env PKG_CONFIG_LIBDIR=${libdir}/pkgconfig PKG_CONFIG_PATH=)
step("pkg-config --modversion" OUTPUT pc_version COMMAND ${pc_env} ${PKG_CONFIG} --modversion tavlib)
string(STRIP "${pc_version}" pc_version)
if(NOT pc_version STREQUAL VERSION)
  message(FATAL_ERROR "tavlib.pc says version ${pc_version}, expected ${VERSION}")
endif()
step("pkg-config --cflags" OUTPUT cflags COMMAND ${pc_env} ${PKG_CONFIG} --cflags tavlib)
step("pkg-config --libs" OUTPUT libs COMMAND ${pc_env} ${PKG_CONFIG} --libs tavlib)
separate_arguments(cflags UNIX_COMMAND "${cflags}")
separate_arguments(libs UNIX_COMMAND "${libs}")
separate_arguments(extra UNIX_COMMAND "${EXTRA_FLAGS}")
file(MAKE_DIRECTORY ${WORK_DIR}/pc-build)
step("pkg-config: compile and link"
     COMMAND ${C_COMPILER} -Wall -Wextra -Werror ${extra} ${cflags}
             ${CONSUMER_DIR}/main.c -o ${WORK_DIR}/pc-build/consumer ${libs}
             -Wl,-rpath,${libdir})
check_consumer("pkg-config" ${WORK_DIR}/pc-build/consumer)
