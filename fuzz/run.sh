#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan + UBSan) and runs each for a bounded time.
#
#   fuzz/run.sh [--update-corpus] [SECONDS_PER_TARGET] [TARGET...]
#   fuzz/run.sh --coverage [TARGET...]
#
# SECONDS_PER_TARGET defaults to 60; TARGET is fen, move_text, board_ops, san, queries, pgn,
# tokens or env (default: all eight, one after another). Everything goes under $FUZZ_WORK_DIR
# (default /tmp/fuzz-work):
#   build/              the instrumented core objects and the binaries fuzz_<target>
#   corpus/<target>/    the scratch corpus: refreshed from fuzz/corpus/<target>/ on every run and
#                       keeping what earlier runs found (rm -rf it to start over)
#   artifacts/<target>/ inputs that crashed or broke an invariant in this run
#   logs/<target>.log   the fuzzer's output
# The committed corpus is only written with --update-corpus, which merges the scratch corpus into
# it (libFuzzer -merge=1 keeps only inputs that add coverage).
# --coverage does not fuzz: it replays the scratch and committed corpora through builds with
# source-based coverage and prints the line and branch coverage of src/core (needs llvm-profdata
# and llvm-cov of the compiler's version, e.g. Debian's llvm-16).
# Reproduce a finding:  /tmp/fuzz-work/build/fuzz_<target> <input file>
#
# Exit status: 0 when no target found anything, 1 on a finding, 2 when the fuzzers cannot be built.
set -euo pipefail

fuzz_dir=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$fuzz_dir")
work=${FUZZ_WORK_DIR:-/tmp/fuzz-work}
all_targets=(fen move_text board_ops san queries pgn tokens env)

fail_setup() {
    echo "fuzz: $*" >&2
    exit 2
}

update_corpus=0
coverage=0
seconds=60
targets=()
for arg in "$@"; do
    case $arg in
    --update-corpus) update_corpus=1 ;;
    --coverage) coverage=1 ;;
    -h | --help)
        sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *[!0-9]*)
        [[ " ${all_targets[*]} " == *" $arg "* ]] || fail_setup "unknown target or option: $arg"
        targets+=("$arg")
        ;;
    *) seconds=$arg ;;
    esac
done
((${#targets[@]})) || targets=("${all_targets[@]}")
((seconds > 0)) || fail_setup "seconds per target must be positive"

mkdir -p "$work/build/obj" "$work/logs"

# A compiler that can build the core (it needs std::source_location, which clang takes from
# __builtin_source_location: clang 15 and later) and link the libFuzzer runtime.
probe_compiler() {
    local cxx=$1 probe="$work/build/probe"
    command -v "$cxx" >/dev/null 2>&1 || return 1
    cat >"$probe.cpp" <<'EOF'
#include <cstddef>
#include <cstdint>
#include <source_location>
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t size)
{
    return static_cast<int>(size) * static_cast<int>(std::source_location::current().line()) * 0;
}
EOF
    "$cxx" -std=c++20 -fsanitize=fuzzer,address,undefined "$probe.cpp" -o "$probe" >/dev/null 2>&1
}

find_compiler() {
    local cxx
    for cxx in ${FUZZ_CXX:-} clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++; do
        if probe_compiler "$cxx"; then
            echo "$cxx"
            return 0
        fi
    done
    return 1
}

if ! cxx=$(find_compiler); then
    # Debian 12 ships clang 14 as its default, which lacks std::source_location; 16 has both the
    # builtin and the fuzzer runtime.
    packages=(clang-16 libclang-rt-16-dev)
    if [[ $(id -u) -ne 0 ]] || ! command -v apt-get >/dev/null 2>&1; then
        fail_setup "no clang >= 15 with the libFuzzer runtime, and cannot install one (run as root: apt-get install ${packages[*]})"
    fi
    echo "fuzz: installing ${packages[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if ! apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends "${packages[@]}" >"$work/apt.log" 2>&1; then
        { apt-get update -qq && apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends "${packages[@]}"; } \
            >>"$work/apt.log" 2>&1 || fail_setup "apt-get could not install ${packages[*]} (log: $work/apt.log)"
    fi
    cxx=$(find_compiler) || fail_setup "clang with -fsanitize=fuzzer still unusable after installing ${packages[*]}"
fi

llvm_bin=$(dirname "$(readlink -f "$(command -v "$cxx")")")

flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fno-sanitize-recover=all -D_GLIBCXX_ASSERTIONS
    -Wall -Wextra -Wpedantic -Wshadow -Wcast-qual -Wmissing-declarations -I"$root/src/core" -I"$root/src/games")

if ((coverage)); then
    [[ -x $llvm_bin/llvm-profdata && -x $llvm_bin/llvm-cov ]] ||
        fail_setup "--coverage needs llvm-profdata and llvm-cov in $llvm_bin (apt-get install llvm-$("$cxx" -dumpversion | cut -d. -f1))"
    cov="$work/coverage"
    rm -rf "$cov"
    mkdir -p "$cov"
    objects=()
    for target in "${targets[@]}"; do
        echo "fuzz: coverage of $target"
        "$cxx" -std=c++20 -O1 -I"$root/src/core" -I"$root/src/games" -fsanitize=fuzzer -fprofile-instr-generate \
            -fcoverage-mapping "$fuzz_dir/fuzz_$target.cpp" "$root"/src/core/*.cpp "$root"/src/games/*.cpp \
            -o "$cov/fuzz_$target" >>"$cov/build.log" 2>&1 ||
            fail_setup "building the coverage binary of $target failed (log: $cov/build.log)"
        inputs=("$fuzz_dir/corpus/$target")
        [[ -d "$work/corpus/$target" ]] && inputs+=("$work/corpus/$target")
        LLVM_PROFILE_FILE="$cov/$target.profraw" "$cov/fuzz_$target" -runs=0 "${inputs[@]}" \
            >"$cov/$target.log" 2>&1 || fail_setup "replaying the corpus of $target failed (log: $cov/$target.log)"
        objects+=(-object "$cov/fuzz_$target")
    done
    "$llvm_bin/llvm-profdata" merge -o "$cov/all.profdata" "$cov"/*.profraw
    "$llvm_bin/llvm-cov" report "${objects[@]:1}" -instr-profile="$cov/all.profdata" \
        "$root/src/core" 2>/dev/null | sed "s|$root/src/core/||"
    echo "fuzz: line by line: $llvm_bin/llvm-cov show ${objects[*]:1} -instr-profile=$cov/all.profdata $root/src/core"
    exit 0
fi

# The core is compiled once with coverage instrumentation (no fuzzer main), then linked into
# every target.
echo "fuzz: building with $cxx ($("$cxx" --version | head -n 1))"
shopt -s nullglob
core_sources=("$root"/src/core/*.cpp "$root"/src/games/*.cpp)
((${#core_sources[@]})) || fail_setup "no core sources in $root/src/core"
rm -f "$work"/build/obj/*.o
export cxx work
printf '%s\n' "${core_sources[@]}" | xargs -P "$(nproc)" -I{} sh -c \
    '"$cxx" "$@" -fsanitize=fuzzer-no-link,address,undefined -c "{}" -o "$work/build/obj/$(basename "{}" .cpp).o"' \
    sh "${flags[@]}" >"$work/logs/build.log" 2>&1 ||
    fail_setup "compiling the core failed (log: $work/logs/build.log)"
for target in "${targets[@]}"; do
    "$cxx" "${flags[@]}" -fsanitize=fuzzer,address,undefined "$fuzz_dir/fuzz_$target.cpp" \
        "$work"/build/obj/*.o -o "$work/build/fuzz_$target" >>"$work/logs/build.log" 2>&1 ||
        fail_setup "building fuzz_$target failed (log: $work/logs/build.log)"
done
if grep -q 'warning:' "$work/logs/build.log"; then
    echo "fuzz: the build printed warnings (see $work/logs/build.log)"
fi

if [[ -x $llvm_bin/llvm-symbolizer ]]; then
    export ASAN_SYMBOLIZER_PATH=$llvm_bin/llvm-symbolizer
elif command -v llvm-symbolizer >/dev/null 2>&1; then
    export ASAN_SYMBOLIZER_PATH=$(command -v llvm-symbolizer)
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
summary=()
for target in "${targets[@]}"; do
    corpus="$work/corpus/$target"
    artifacts="$work/artifacts/$target"
    log="$work/logs/$target.log"
    mkdir -p "$corpus"
    rm -rf "$artifacts"
    mkdir -p "$artifacts"
    if [[ -d "$fuzz_dir/corpus/$target" ]]; then
        cp -f "$fuzz_dir/corpus/$target"/* "$corpus"/ 2>/dev/null || true
    fi
    options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=25 -rss_limit_mb=4096
        -artifact_prefix="$artifacts/")
    case $target in
    fen | board_ops | san | queries | env) options+=(-dict="$fuzz_dir/fen.dict") ;;
    pgn) options+=(-dict="$fuzz_dir/pgn.dict") ;;
    esac

    echo "fuzz: $target for ${seconds}s ..."
    rc=0
    "$work/build/fuzz_$target" "${options[@]}" "$corpus" >"$log" 2>&1 || rc=$?

    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1 || true)
    found=("$artifacts"/*)
    line="$target: ${execs:-?} execs (${rate:-?}/s), ${coverage:-no coverage line}, corpus $(find "$corpus" -type f | wc -l) inputs, findings ${#found[@]}"
    if ((rc != 0 || ${#found[@]} > 0)); then
        status=1
        line+=" (exit $rc)"
        echo "fuzz: FINDING in $target (log: $log)"
        grep -m 5 -E '^FINDING|^  |ERROR: |runtime error|SUMMARY' "$log" | sed 's/^/    /' || true
        for artifact in "${found[@]}"; do
            echo "    reproduce: $work/build/fuzz_$target $artifact"
        done
    fi
    summary+=("$line")

    if ((update_corpus)); then
        "$work/build/fuzz_$target" -merge=1 "$fuzz_dir/corpus/$target" "$corpus" >>"$log" 2>&1 ||
            echo "fuzz: merging into fuzz/corpus/$target failed (log: $log)"
    fi
done

echo "fuzz: summary"
printf '    %s\n' "${summary[@]}"
exit $status
