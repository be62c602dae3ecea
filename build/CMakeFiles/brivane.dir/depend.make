# Empty dependencies file for brivane.
# This may be replaced when dependencies are built.
