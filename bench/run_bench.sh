#!/usr/bin/env bash
# run_bench.sh -- runs the in-process and end-to-end benchmarks of an already
# built benchmark tree and writes bench/results.md (make bench builds it first).
# Usage: bench/run_bench.sh [BUILD_DIR] [run_bench.py options ...]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-bench}"
[ $# -gt 0 ] && shift
exec python3 bench/run_bench.py --build "$build" "$@"
