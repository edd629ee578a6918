#!/usr/bin/env bash
# Prints the path of a working Python >= 3.12 (with venv, pip bootstrap and C headers), or fails
# with one line naming everything that was tried.
#
#   tools/find_python.sh [PYTHON]
#
# An explicit PYTHON (argument or environment) is the only candidate when given. Otherwise, in
# order: the newest pyenv 3.12.x, the newest pyenv 3.13.x, then python3.13, python3.12 and python3
# on PATH. Every candidate is run, because a pyenv shim on PATH can exist and still fail.
set -uo pipefail
shopt -s extglob

# The interpreter must be new enough, build venvs with pip, and ship Python.h for the extension.
probe='import sys, os, sysconfig, venv, ensurepip
assert sys.version_info >= (3, 12), "is %d.%d, need >= 3.12" % sys.version_info[:2]
h = os.path.join(sysconfig.get_paths()["include"], "Python.h")
assert os.path.exists(h), "has no " + h
print(os.path.realpath(sys.executable))'

tried=()

# Runs one candidate; on success prints its real path and exits the script.
try_candidate() {
    local candidate=$1 out reason
    if out=$("$candidate" -c "$probe" 2>&1) && [[ -x $out ]]; then
        printf '%s\n' "$out"
        exit 0
    fi
    # A traceback ends in its reason; anything else (a failing shim, a loader error) starts with it.
    if [[ $out == *Traceback* ]]; then
        reason=$(printf '%s\n' "$out" | grep -v '^[[:space:]]*$' | tail -n 1)
    else
        reason=$(printf '%s\n' "$out" | grep -v '^[[:space:]]*$' | head -n 1)
    fi
    reason=${reason#AssertionError: }
    reason=${reason##*: line +([0-9]): }
    tried+=("$candidate (${reason:-not runnable})")
}

override=${1:-${PYTHON:-}}
if [[ -n $override ]]; then
    try_candidate "$override"
    echo "error: PYTHON=$override is not a usable Python >= 3.12: ${tried[0]#"$override" }" >&2
    exit 1
fi

pyenv_root=$(pyenv root 2>/dev/null || true)
[[ -d $pyenv_root ]] || pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
for minor in 12 13; do
    found=0
    while IFS= read -r dir; do
        found=1
        try_candidate "$dir/bin/python3.$minor"
    done < <(ls -d "$pyenv_root"/versions/3."$minor".* 2>/dev/null | sort -rV)
    ((found)) || tried+=("$pyenv_root/versions/3.$minor.* (none)")
done

for name in python3.13 python3.12 python3; do
    if command -v "$name" >/dev/null 2>&1; then
        try_candidate "$name"
    else
        tried+=("$name (not on PATH)")
    fi
done

list=$(printf '%s, ' "${tried[@]}")
echo "error: no usable Python >= 3.12 found; tried: ${list%, }; set PYTHON=/path/to/python3.12" >&2
exit 1
