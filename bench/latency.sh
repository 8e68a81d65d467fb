#!/bin/sh
# Key-to-sound latency, underflows under load and while reloading, and CPU of the real wsy; see bench/latency.py.
# Usage, from the repository's top folder: bench/latency.sh [--wsy build/release/wsy] [key] [load] [cpu] [reload]
exec python3 "$(dirname "$0")/latency.py" "$@"
