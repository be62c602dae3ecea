file(REMOVE_RECURSE
  "CMakeFiles/brivane_arg_test.dir/src/brivane_arg.cc.o"
  "CMakeFiles/brivane_arg_test.dir/src/brivane_arg.cc.o.d"
  "libbrivane_arg_test.a"
  "libbrivane_arg_test.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/brivane_arg_test.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
