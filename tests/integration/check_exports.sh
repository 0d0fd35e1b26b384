#!/bin/sh
# The shared library exports the six API functions and nothing else.
set -eu
expected="Close_Tavril Conf_Tavril Open_Tavril Read_Tavril Scmd_Tavril Write_Tavril"
actual=$(nm -D --defined-only "$1" | awk '{print $3}' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
  echo "exports: $actual"
  echo "wanted:  $expected"
  exit 1
fi
echo "exports: $actual"
