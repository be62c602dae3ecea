#!/usr/bin/env bash
# Regenerates the seed files of the file target, corpus/file/*.nc, from the
# CDL sources in cdl/ (classic format, the one brivane reads).
set -eu
cd "$(dirname "$0")"
for cdl in cdl/*.cdl; do
  ncgen -b -k classic -o "corpus/file/$(basename "$cdl" .cdl).nc" "$cdl"
done
