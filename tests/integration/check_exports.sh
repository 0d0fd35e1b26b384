#!/bin/sh
# The shared library exports the six API functions and nothing else, and no
# call inside it goes through those names: a relocation against one of them
# would bind the call to the copy of the library that a process loaded first.
set -eu
expected="Close_Tavril Conf_Tavril Open_Tavril Read_Tavril Scmd_Tavril Write_Tavril"
actual=$(nm -D --defined-only "$1" | awk '{print $3}' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
  echo "exports: $actual"
  echo "wanted:  $expected"
  exit 1
fi
echo "exports: $actual"
bound=$(readelf -rW "$1" | awk '$5 ~ /_Tavril$/ {print $3, $5}')
if [ -n "$bound" ]; then
  echo "relocations against the API's own names:"
  echo "$bound"
  exit 1
fi
