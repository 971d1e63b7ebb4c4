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
"$work/cmake-build/kelvory_consumer" | grep -qx 'kelvory: project root \.'
"$work/cmake-build/mime_consumer" | grep -qx 'mime: Could not find any signature'
echo "find_package(norvan): consumers of norvan::kelvory alone and norvan::mime alone built and ran"
# One library holds every module; the module targets above are names for it.
lib=$(find "$work/prefix" -name 'libnorvan.so.0' | head -n 1)
test -n "$lib" || { echo "libnorvan.so.0 is not installed" >&2; exit 1; }
readelf -d "$lib" | grep -q 'SONAME.*\[libnorvan\.so\.0\]'
if find "$work/prefix" -name 'libnorvan_*' | grep -q .; then
  echo "libraries of the one-library-per-module layout installed:" >&2
  find "$work/prefix" -name 'libnorvan_*' >&2
  exit 1
fi
for consumer in consumer kelvory_consumer mime_consumer; do
  readelf -d "$work/cmake-build/$consumer" | grep -q 'NEEDED.*\[libnorvan\.so\.0\]'
done
echo "libnorvan.so.0 installed alone, and the consumers need it"
# Only the public interface is exported: no internal (detail) function.
if nm -DC --defined-only "$lib" | grep -q 'norvan::.*detail::'; then
  echo "libnorvan exports internal functions:" >&2
  nm -DC --defined-only "$lib" | grep 'norvan::.*detail::' >&2
  exit 1
fi
echo "libnorvan exports no internal function"

export PKG_CONFIG_PATH=$(dirname "$(find "$work/prefix" -name norvan.pc)")
c++ -o "$work/pc-consumer" "$source_dir/tests/install/consumer/main.cpp" $(pkg-config --cflags --libs norvan)
"$work/pc-consumer" | grep -q -- '-----BEGIN CERTIFICATE-----'
echo "pkg-config norvan: consumer built and ran"

"$work/prefix/bin/norvan" --help | grep -q tarrowby
echo "installed program lists its sub-commands"
needed=$(readelf -d "$work/prefix/bin/norvan" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
test "$needed" = "libc.so.6 libgcc_s.so.1 libnorvan.so.0 libstdc++.so.6 " ||
  { echo "the installed program needs: $needed" >&2; exit 1; }
echo "installed program needs libnorvan and the system's libraries only"

for file in share/man/man1/norvan.1.gz share/man/man1/norvan-sign.1.gz share/bash-completion/completions/norvan \
            share/zsh/vendor-completions/_norvan share/fish/vendor_completions.d/norvan.fish; do
  test -s "$work/prefix/$file" || { echo "not installed: $file" >&2; exit 1; }
done
warnings=$(zcat "$work/prefix/share/man/man1/norvan-verify.1.gz" | groff -ww -man -Tutf8 2>&1 >/dev/null)
test -z "$warnings" || { echo "groff warns about the installed norvan-verify(1): $warnings" >&2; exit 1; }
echo "man pages and shell completions installed"
