# CMake generated Testfile for 
# Source directory: /work/main
# Build directory: /work/main/build
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
include("/work/main/build/unit_tests[1]_include.cmake")
add_test(e2e_common "/usr/bin/python3" "/work/main/tests/e2e_common.py")
set_tests_properties(e2e_common PROPERTIES  ENVIRONMENT "BRIVANE=/work/main/build/brivane;PYTHONPATH=/work/main/tests" TIMEOUT "600" _BACKTRACE_TRIPLES "/work/main/CMakeLists.txt;64;add_test;/work/main/CMakeLists.txt;0;")
