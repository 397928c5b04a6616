#!/usr/bin/env bash
# Registers the ODBC drivers the directory export uses with unixODBC
# (odbcinst.ini): the SQLite driver (the IM simulator's database, the tests)
# and the MDB Tools driver for Access files, also under the name that the IM
# server's own default connection text asks for. Idempotent: a driver that is
# already registered under a name is left alone.
set -euo pipefail

libdir=/usr/lib/x86_64-linux-gnu/odbc
if [[ ! -d "$libdir" ]]; then
  libdir="$(dirname "$(dpkg -L libsqliteodbc 2>/dev/null | grep -m1 'libsqlite3odbc.so$' || echo /usr/lib/odbc/x)")"
fi

register() {
  local name="$1" lib="$2" desc="$3"
  if [[ ! -e "$libdir/$lib" ]]; then
    echo "odbc-drivers: $libdir/$lib missing, '$name' not registered" >&2
    return 1
  fi
  if odbcinst -q -d -n "$name" >/dev/null 2>&1; then
    return 0
  fi
  local tmp
  tmp="$(mktemp)"
  printf '[%s]\nDescription=%s\nDriver=%s\nSetup=%s\nFileUsage=1\n' \
    "$name" "$desc" "$libdir/$lib" "$libdir/$lib" >"$tmp"
  odbcinst -i -d -f "$tmp" >/dev/null
  rm -f "$tmp"
  echo "odbc-drivers: registered '$name'"
}

register "SQLite3" libsqlite3odbc.so "SQLite3 ODBC Driver"
register "MDBTools" libmdbodbc.so "MDBTools Driver"
register "Microsoft access Driver (*.mdb)" libmdbodbc.so "MDB Tools driver for Access files"
