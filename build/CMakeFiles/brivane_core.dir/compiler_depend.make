# Empty compiler generated dependencies file for brivane_core.
# This may be replaced when dependencies are built.
