#!/usr/bin/env bash
# Installs what building, testing and running Tallyport needs on Debian, and
# registers the ODBC drivers. Idempotent; needs root (or sudo).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build pkg-config ccache git
          libsqlite3-dev sqlite3 libssl-dev
          googletest libgtest-dev libgmock-dev libbenchmark-dev
          unixodbc unixodbc-dev odbcinst tdsodbc libsqliteodbc
          time clang libclang-rt-14-dev)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ -x scripts/odbc-setup.sh ]; then
  $SUDO bash scripts/odbc-setup.sh
fi
