#!/usr/bin/env bash
# Registers the ODBC drivers Tallyport uses with the unixODBC driver manager:
#   "SQL Server" -> the FreeTDS ODBC driver (libtdsodbc.so), the default driver for
#                   Provider=sqloledb connection texts and the one DRIVER={SQL Server} names;
#   "SQLite3"    -> the SQLite ODBC driver (libsqlite3odbc.so), used by the tests.
# A driver already registered under either name is left as it is (it may point at
# another SQL Server driver on purpose), and no other entry is touched. Idempotent;
# run as root (packages: unixodbc odbcinst tdsodbc libsqliteodbc).
set -euo pipefail

find_lib() {
  local f
  for f in /usr/lib/*/odbc/"$1" /usr/lib/odbc/"$1" /usr/lib64/"$1" /usr/local/lib/"$1"; do
    if [ -f "$f" ]; then echo "$f"; return 0; fi
  done
  return 1
}

# The system driver list, as the driver manager reads it.
odbcinst_ini() {
  local dir=""
  if command -v odbcinst >/dev/null; then
    dir=$(odbcinst -j 2>/dev/null | sed -n 's/^DRIVERS\.*: *//p')
  fi
  echo "${dir:-/etc/odbcinst.ini}"
}

registered() {
  if command -v odbcinst >/dev/null; then
    odbcinst -q -d -n "$1" >/dev/null 2>&1
  else
    local ini; ini=$(odbcinst_ini)
    [ -f "$ini" ] && grep -qiF "[$1]" "$ini"
  fi
}

register() {  # name description library
  local name=$1 desc=$2 lib=$3
  if registered "$name"; then
    echo "odbc-setup: driver \"$name\" is already registered; left unchanged"
    return 0
  fi
  local template; template=$(mktemp)
  trap 'rm -f "$template"' RETURN
  printf '[%s]\nDescription=%s\nDriver=%s\nUsageCount=1\n' "$name" "$desc" "$lib" >"$template"
  if command -v odbcinst >/dev/null; then
    odbcinst -i -d -f "$template" >/dev/null
  else
    local ini; ini=$(odbcinst_ini)
    { [ -s "$ini" ] && echo; cat "$template"; } >>"$ini"
  fi
  echo "odbc-setup: registered driver \"$name\" -> $lib"
}

status=0
if tds=$(find_lib libtdsodbc.so); then
  register "SQL Server" "SQL Server through FreeTDS" "$tds"
else
  echo "odbc-setup: libtdsodbc.so not found; install the tdsodbc package" >&2
  status=1
fi
if sqlite=$(find_lib libsqlite3odbc.so); then
  register "SQLite3" "SQLite3 ODBC Driver" "$sqlite"
else
  echo "odbc-setup: libsqlite3odbc.so not found; install the libsqliteodbc package" >&2
  status=1
fi
exit $status
