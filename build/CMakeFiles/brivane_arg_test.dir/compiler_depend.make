# Empty compiler generated dependencies file for brivane_arg_test.
# This may be replaced when dependencies are built.
