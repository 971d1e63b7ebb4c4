#!/usr/bin/env bash
# Installs norvan from the build tree into a scratch prefix and builds a consumer program
# against it twice: with find_package(norvan) and with pkg-config.
set -euo pipefail
build_dir=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null

cmake -S "$source_dir/tests/install/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer" | grep -q -- '-----BEGIN CERTIFICATE-----'
echo "find_package(norvan): consumer built and ran"

export PKG_CONFIG_PATH=$(dirname "$(find "$work/prefix" -name norvan.pc)")
c++ -o "$work/pc-consumer" "$source_dir/tests/install/consumer/main.cpp" $(pkg-config --cflags --libs norvan)
"$work/pc-consumer" | grep -q -- '-----BEGIN CERTIFICATE-----'
echo "pkg-config norvan: consumer built and ran"

"$work/prefix/bin/norvan" --help | grep -q tarrowby
echo "installed program lists its sub-commands"
