#!/usr/bin/env bash
# Installs what is missing, then runs every check CI runs:
#   1. the whole suite on a plain build (build/);
#   2. the whole suite again under AddressSanitizer, LeakSanitizer and
#      UndefinedBehaviorSanitizer (build-asan/): any sanitizer report fails;
#   3. when clang++ is installed, the fuzzers of the reply path and of the fleet's
#      payloads (build-fuzz/): each one's corpus as a regression run, then a minute
#      of fuzzing each.
# Every stage runs even after an earlier one failed; the exit status is non-zero
# if any failed. ONDREL_FUZZ_SECONDS changes the fuzzing time (0 skips fuzzing).
set -uo pipefail
top=$(cd "$(dirname "$0")" && pwd)
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
((jobs > 2)) && jobs=2
fuzz_seconds=${ONDREL_FUZZ_SECONDS:-60}

failed=()
started=$SECONDS

stage_begin() {
    stage_name=$1
    stage_start=$SECONDS
    echo
    echo "=== $stage_name"
}

stage_end() { # status
    local took=$((SECONDS - stage_start))
    if (($1 == 0)); then
        echo "=== $stage_name: passed (${took} s)"
    else
        echo "=== $stage_name: FAILED (${took} s)"
        failed+=("$stage_name")
    fi
}

run_suite() { # build_dir
    ctest --test-dir "$top/$1" --output-on-failure -j"$jobs" --timeout 600
}

# --- 1. plain build --------------------------------------------------------
stage_begin "plain build and suite"
# Installs the packages as well: without them nothing below can run.
if ! "$top/scripts/setup.sh" build; then
    stage_end 1
    echo "test.sh: the plain build failed" >&2
    exit 1
fi
run_suite build
stage_end $?

# --- 2. sanitizers ---------------------------------------------------------
stage_begin "sanitizer build and suite"
san_logs="$top/build-asan/sanitizer-reports"
status=0
"$top/scripts/setup.sh" build-asan -DONDREL_SANITIZE=ON || status=1
if ((status == 0)); then
    rm -rf "$san_logs"
    mkdir -p "$san_logs"
    # Reports go to files as well as making the process fail: a program the tests
    # start (the simulator on its pty, say) may die of one without failing its test.
    export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$san_logs/asan"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$san_logs/ubsan"
    export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp:print_suppressions=0"
    run_suite build-asan || status=1
    unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS
    shopt -s nullglob
    reports=("$san_logs"/*)
    shopt -u nullglob
    if ((${#reports[@]})); then
        status=1
        for r in "${reports[@]}"; do
            echo "--- sanitizer report $r"
            cat "$r"
        done
    fi
fi
stage_end $status

# --- 3. fuzzing ------------------------------------------------------------
# Each fuzzer: its target, its corpus and its dictionary under tests/fuzz.
fuzzers=("reply:corpus:reply.dict" "payload:payload-corpus:payload.dict")
if command -v clang++ >/dev/null; then
    stage_begin "fuzzers (reply path, fleet payloads)"
    fuzz_dir="$top/build-fuzz"
    status=0
    targets=()
    for f in "${fuzzers[@]}"; do targets+=("ondrel_fuzz_${f%%:*}"); done
    if cmake -S "$top" -B "$fuzz_dir" -DCMAKE_CXX_COMPILER=clang++ -DONDREL_FUZZ=ON >/dev/null &&
        cmake --build "$fuzz_dir" --target "${targets[@]}" -j"$jobs"; then
        for f in "${fuzzers[@]}"; do
            IFS=: read -r name corpus_name dict <<<"$f"
            fuzzer="$fuzz_dir/tests/fuzz/ondrel_fuzz_$name"
            corpus="$top/tests/fuzz/$corpus_name"
            echo "--- $name: regression run over $corpus"
            if ! "$fuzzer" "$corpus"/* >"$fuzz_dir/regression-$name.log" 2>&1; then
                status=1
                tail -n 60 "$fuzz_dir/regression-$name.log"
                continue
            fi
            if ((fuzz_seconds > 0)); then
                echo "--- $name: fuzzing for ${fuzz_seconds} s"
                work="$fuzz_dir/ci-corpus-$name"
                rm -rf "$work"
                mkdir -p "$work" "$fuzz_dir/artifacts-$name"
                if ! "$fuzzer" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
                    -dict="$top/tests/fuzz/$dict" -artifact_prefix="$fuzz_dir/artifacts-$name/" \
                    "$work" "$corpus" >"$fuzz_dir/fuzz-$name.log" 2>&1; then
                    status=1
                    tail -n 60 "$fuzz_dir/fuzz-$name.log"
                    echo "The failing input is in $fuzz_dir/artifacts-$name/; once fixed, add it" \
                        "to $corpus/ as regress-<what> so it stays fixed."
                else
                    grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' \
                        "$fuzz_dir/fuzz-$name.log"
                fi
            fi
        done
    else
        status=1
    fi
    stage_end $status
else
    echo
    echo "=== fuzzers: skipped (clang++ is not installed)"
fi

echo
echo "test.sh: $((SECONDS - started)) s in all"
if ((${#failed[@]})); then
    printf 'test.sh: FAILED: %s\n' "${failed[@]}" >&2
    exit 1
fi
echo "test.sh: all passed"
