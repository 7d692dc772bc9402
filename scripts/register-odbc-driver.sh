#!/usr/bin/env bash
# Registers FreeTDS's ODBC driver under the driver name "SQL Server", so that the server's connect
# string ("driver={SQL Server}") works unchanged. Leaves an existing "SQL Server" driver alone (for
# instance Microsoft's, installed under that name), so running it again changes nothing.
set -euo pipefail

driver_name="SQL Server"

if odbcinst -q -d -n "$driver_name" >/dev/null 2>&1; then
  exit 0
fi

library=""
for candidate in /usr/lib/*/odbc/libtdsodbc.so /usr/lib/odbc/libtdsodbc.so; do
  if [ -f "$candidate" ]; then
    library="$candidate"
    break
  fi
done
if [ -z "$library" ]; then
  echo "FreeTDS's ODBC driver (libtdsodbc.so) is not installed; install the package tdsodbc." >&2
  exit 1
fi

template="$(mktemp)"
trap 'rm -f "$template"' EXIT
cat >"$template" <<INI
[$driver_name]
Description=FreeTDS ODBC driver for SQL Server
Driver=$library
INI
odbcinst -i -d -f "$template" >/dev/null
echo "Registered the ODBC driver \"$driver_name\" ($library)."
