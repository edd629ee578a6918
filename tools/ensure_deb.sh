#!/usr/bin/env bash
# Installs the named Debian packages that are missing (as root, with apt-get), or fails with one
# line naming them.
#
#   tools/ensure_deb.sh PACKAGE...
set -euo pipefail

missing=()
for package in "$@"; do
    dpkg -s "$package" 2>/dev/null | grep -q '^Status: install ok installed' || missing+=("$package")
done
((${#missing[@]})) || exit 0

if [[ $(id -u) -ne 0 ]] || ! command -v apt-get >/dev/null 2>&1; then
    echo "error: missing Debian packages: ${missing[*]} (install them: apt-get install ${missing[*]})" >&2
    exit 1
fi

echo "installing Debian packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# A fresh machine may have no package lists yet: refresh them once and retry.
if ! apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}" >/tmp/quarn-apt.log 2>&1; then
    if ! { apt-get update -qq && apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}"; } \
        >>/tmp/quarn-apt.log 2>&1; then
        echo "error: apt-get could not install ${missing[*]} (log: /tmp/quarn-apt.log)" >&2
        exit 1
    fi
fi
