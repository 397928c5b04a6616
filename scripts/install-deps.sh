#!/usr/bin/env bash
# Installs every Debian package the project needs (listed in packages.txt),
# skipping those already installed, then runs the set-up steps in setup.d/
# (each idempotent). Run as root on Debian 12.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

missing=()
while read -r pkg; do
  [[ -z "$pkg" || "$pkg" == \#* ]] && continue
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done < "$here/packages.txt"

if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
else
  echo "install-deps: all packages present"
fi

if [[ -d "$here/setup.d" ]]; then
  for step in "$here"/setup.d/*.sh; do
    [[ -e "$step" ]] || continue
    bash "$step"
  done
fi
