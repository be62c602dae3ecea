
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/src/Argumentyzer.cc" "CMakeFiles/brivane_core.dir/src/Argumentyzer.cc.o" "gcc" "CMakeFiles/brivane_core.dir/src/Argumentyzer.cc.o.d"
  "/work/main/src/Timer.cc" "CMakeFiles/brivane_core.dir/src/Timer.cc.o" "gcc" "CMakeFiles/brivane_core.dir/src/Timer.cc.o.d"
  "/work/main/src/brivane.cc" "CMakeFiles/brivane_core.dir/src/brivane.cc.o" "gcc" "CMakeFiles/brivane_core.dir/src/brivane.cc.o.d"
  "/work/main/src/distances.cc" "CMakeFiles/brivane_core.dir/src/distances.cc.o" "gcc" "CMakeFiles/brivane_core.dir/src/distances.cc.o.d"
  "/work/main/src/heap_sort.cc" "CMakeFiles/brivane_core.dir/src/heap_sort.cc.o" "gcc" "CMakeFiles/brivane_core.dir/src/heap_sort.cc.o.d"
  "/work/main/src/small_dist.cc" "CMakeFiles/brivane_core.dir/src/small_dist.cc.o" "gcc" "CMakeFiles/brivane_core.dir/src/small_dist.cc.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
