#!/usr/bin/env bash
# Installs what is missing, builds brivane and clusters the shipped example
# (examples/small.cdl), writing the dendrogram to build/small-tree.nc; installs
# the R package into the user's R library.
set -eu
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j2 --target brivane brivane_python_engine
ncgen -b -k classic -o build/small.nc examples/small.cdl
build/brivane -i build/small.nc -D expression -d euclidean -a -O -o build/small-tree.nc
echo "Dendrogram written to build/small-tree.nc; the genes in leaf order and the merge heights:"
ncdump -v gene_name,row_distance build/small-tree.nc | sed -n '/^data:/,$p'
bash scripts/r-install.sh > build/r-install.log 2>&1 || { cat build/r-install.log; exit 1; }
echo "The R package brivane is installed into $(Rscript -e 'cat(path.expand(Sys.getenv("R_LIBS_USER")))')."
