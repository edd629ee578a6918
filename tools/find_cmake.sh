#!/usr/bin/env bash
# Prints the path of a working CMake >= 3.21, installing Debian's cmake when none runs.
#
#   tools/find_cmake.sh
#
# `cmake` on PATH may be a pyenv shim that exists and fails, so every candidate is run.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)

# Prints the candidate's absolute path when it runs and is new enough.
check() {
    local path version
    path=$(command -v "$1" 2>/dev/null) || return 1
    version=$("$path" --version 2>/dev/null | head -n 1) || return 1
    version=${version##* }
    [[ $(printf '%s\n3.21\n' "$version" | sort -V | head -n 1) == 3.21 ]] || return 1
    printf '%s\n' "$path"
}

check cmake && exit 0
check /usr/bin/cmake && exit 0
"$here/ensure_deb.sh" cmake >&2 || exit 1
check /usr/bin/cmake && exit 0
echo "error: no working cmake >= 3.21 (tried cmake on PATH and /usr/bin/cmake)" >&2
exit 1
