#!/bin/sh
# Passes when the program's only dynamic dependency is libc.so.6.
needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
[ "$needed" = "libc.so.6 " ] && exit 0
echo "$1 needs: $needed"
exit 1
