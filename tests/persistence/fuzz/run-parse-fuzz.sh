#!/usr/bin/env bash
# Builds the channel-mapping reader's libFuzzer target with clang (address and
# undefined-behaviour sanitizers) and fuzzes it for a bounded time. Fails on
# any crash, sanitizer report, leak, time-out or memory blow-up.
# Usage: run-parse-fuzz.sh CLANGXX REPO_ROOT WORK_DIR SECONDS
set -euo pipefail
clangxx=$1
root=$2
work=$3
seconds=$4
here="$root/tests/persistence/fuzz"

mkdir -p "$work/corpus" "$work/artifacts"
"$clangxx" -std=c++20 -O1 -g -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -Wall -Wextra -Werror -I"$root" \
    "$root/persistence/ChannelMappingDocument.cpp" "$here/ChannelMappingParseFuzzer.cpp" \
    -o "$work/channel-mapping-parse-fuzzer"

# New inputs go to the work corpus; the seeds in the source tree stay as they are.
exec "$work/channel-mapping-parse-fuzzer" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -dict="$here/channel-mappings.dict" -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
    "$work/corpus" "$here/corpus"
