file(REMOVE_RECURSE
  "CMakeFiles/brivane_core.dir/src/Argumentyzer.cc.o"
  "CMakeFiles/brivane_core.dir/src/Argumentyzer.cc.o.d"
  "CMakeFiles/brivane_core.dir/src/Timer.cc.o"
  "CMakeFiles/brivane_core.dir/src/Timer.cc.o.d"
  "CMakeFiles/brivane_core.dir/src/brivane.cc.o"
  "CMakeFiles/brivane_core.dir/src/brivane.cc.o.d"
  "CMakeFiles/brivane_core.dir/src/distances.cc.o"
  "CMakeFiles/brivane_core.dir/src/distances.cc.o.d"
  "CMakeFiles/brivane_core.dir/src/heap_sort.cc.o"
  "CMakeFiles/brivane_core.dir/src/heap_sort.cc.o.d"
  "CMakeFiles/brivane_core.dir/src/small_dist.cc.o"
  "CMakeFiles/brivane_core.dir/src/small_dist.cc.o.d"
  "libbrivane_core.a"
  "libbrivane_core.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/brivane_core.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
