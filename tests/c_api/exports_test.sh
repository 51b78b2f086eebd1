#!/bin/sh
# Each shared library exports exactly its interface: every defined dynamic
# symbol must be on the library's list, and every routine on the list must be
# defined. Arguments: pairs of (library, version script).
set -eu
status=0
while [ $# -ge 2 ]; do
  lib=$1; map=$2; shift 2
  allowed=$(sed -n '/global:/,/local:/p' "$map" | grep -v -e 'global:' -e 'local:' | tr ';' '\n' | tr -d ' ' | grep -v '^$' | sort)
  exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
  extra=$(printf '%s\n' "$exported" | grep -vxF "$allowed" || true)
  missing=$(printf '%s\n' "$allowed" | grep -vxF "$exported" || true)
  if [ -n "$extra" ]; then echo "$lib exports more than its interface: $extra"; status=1; fi
  if [ -n "$missing" ]; then echo "$lib does not define: $missing"; status=1; fi
done
exit $status
