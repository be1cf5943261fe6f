#!/usr/bin/env bash
# Runs the tool. For now: starts the simulated card and prints where it listens.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build build/native --target cardsim
exec build/native/cardsim "$@"
