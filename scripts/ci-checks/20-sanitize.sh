#!/usr/bin/env bash
# CI check: the whole pytest suite against an AddressSanitizer and
# UndefinedBehaviorSanitizer build of the module (scripts/sanitize.sh), with
# leak detection; fails on any sanitizer report or test failure.
set -euo pipefail
cd "$(dirname "$0")/../.."

# gcc's sanitizer runtimes come with g++ on this machine; a bare one gets them here.
if [ ! -e "$(g++ -print-file-name=libasan.so)" ] || [ ! -e "$(g++ -print-file-name=libubsan.so)" ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++ libasan8 libubsan1 >/dev/null
fi
started=$SECONDS
bash scripts/sanitize.sh -q
echo "20-sanitize: done in $((SECONDS - started)) s"
