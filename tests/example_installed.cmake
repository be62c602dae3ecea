# Installs this build under a scratch prefix, builds examples/library against
# the installed package as another project would, and runs the example.
#   cmake -DBUILD=<build folder> -DSOURCE=<source folder> [-DFLAGS=<compiler flags>] -P example_installed.cmake
set(prefix ${BUILD}/example-prefix)
set(example ${BUILD}/example-build)
file(REMOVE_RECURSE ${prefix} ${example})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${status}):\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})
run(${CMAKE_COMMAND} -S ${SOURCE}/examples/library -B ${example} -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS=${FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}")
run(${CMAKE_COMMAND} --build ${example})
run(${example}/cluster_array)
message("${output}")
if(NOT output MATCHES "^2000 objects, 3999 nodes\n")
  message(FATAL_ERROR "unexpected output of the example")
endif()
# The example links the installed library, not this build's.
run(ldd ${example}/cluster_array)
if(NOT output MATCHES "${prefix}/[^\n]*libbrivane.so")
  message(FATAL_ERROR "the example does not load the installed libbrivane:\n${output}")
endif()
file(REMOVE_RECURSE ${prefix} ${example})
