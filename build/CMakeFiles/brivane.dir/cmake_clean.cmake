file(REMOVE_RECURSE
  "CMakeFiles/brivane.dir/src/brivane_arg.cc.o"
  "CMakeFiles/brivane.dir/src/brivane_arg.cc.o.d"
  "brivane"
  "brivane.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/brivane.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
