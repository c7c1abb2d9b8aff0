#!/usr/bin/env bash
# CI check: every C++ source is formatted as .clang-format says (pinned clang-format, installed by scripts/format.sh).
set -euo pipefail
exec bash "$(dirname "$0")/../format.sh" --check
