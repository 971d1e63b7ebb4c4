#!/usr/bin/env bash
# Builds the wheel as the README says (`python3 -m build --wheel --no-isolation` at the root),
# checks what it holds (the extension and norvan's own libraries, found through $ORIGIN, and
# nothing else of the build machine but the system libraries of OpenSSL, GMime and the C and
# C++ run times), installs it into a fresh virtual environment and runs the pytest suite against
# that installed copy, from a copy of the tests outside the source tree.
set -euo pipefail
source_dir=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

version=$(/usr/bin/python3 -c 'import sys, tomllib; print(tomllib.load(open(sys.argv[1], "rb"))["project"]["version"])' \
  "$source_dir/pyproject.toml")
tag=$(/usr/bin/python3 -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
cd "$source_dir"
/usr/bin/python3 -m build --wheel --no-isolation --outdir "$work/dist" >"$work/build.log" 2>&1 || {
  cat "$work/build.log" >&2
  exit 1
}
wheel="$work/dist/norvan-$version-$tag-$tag-linux_x86_64.whl"
[[ -f $wheel ]] || { echo "wheel_test: no $wheel; made: $(ls "$work/dist")" >&2; exit 1; }

/usr/bin/python3 -m venv --system-site-packages "$work/venv"
PIP_NO_INDEX=1 "$work/venv/bin/python3" -m pip install --quiet --no-deps "$wheel"
package=$("$work/venv/bin/python3" -c 'import os, norvan; print(os.path.dirname(os.path.realpath(norvan.__file__)))')
case $package in
  "$work/venv/"*) ;;
  *) echo "wheel_test: norvan imported from $package, not from the virtual environment" >&2; exit 1 ;;
esac

# Every ELF file of the package: $ORIGIN first in its run path, and no library needed from
# outside the package but these.
allowed='^(libssl\.so\.3|libcrypto\.so\.3|libgmime-3\.0\.so\.0|libglib-2\.0\.so\.0|libgobject-2\.0\.so\.0|libgio-2\.0\.so\.0|libstdc\+\+\.so\.6|libgcc_s\.so\.1|libc\.so\.6|libm\.so\.6|ld-linux-x86-64\.so\.2)$'
mapfile -t elf_files < <(find "$package" -name '*.so*' -type f)
((${#elf_files[@]} >= 2)) || { echo "wheel_test: the package holds ${elf_files[*]:-no shared object}" >&2; exit 1; }
ls "$package"/_norvan.*.so >/dev/null
for file in "${elf_files[@]}"; do
  runpath=$(readelf -d "$file" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
  [[ $runpath == '$ORIGIN'* ]] || { echo "wheel_test: $file has run path '$runpath'" >&2; exit 1; }
  while read -r needed; do
    [[ -e $package/$needed ]] && continue
    [[ $needed =~ $allowed ]] || { echo "wheel_test: $file needs $needed from the system" >&2; exit 1; }
  done < <(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
done

# The tests, with the guide and the README whose examples they run, outside the source tree;
# the e2e tests build images and are run from the tree only.
mkdir -p "$work/copy/tests" "$work/copy/docs"
cp -r "$source_dir/tests/python" "$work/copy/tests/python"
cp -r "$source_dir/tests/data" "$work/copy/tests/data"  # the fixtures some Python tests read
cp "$source_dir/docs/python.md" "$work/copy/docs/"
cp "$source_dir/README.md" "$work/copy/"
rm -rf "$work/copy/tests/python/e2e"
cd "$work/copy"
env -u PYTHONPATH NORVAN_EXPECTED_PACKAGE="$package" PYTHONDONTWRITEBYTECODE=1 \
  "$work/venv/bin/python3" -m pytest -q -p no:cacheprovider tests/python
echo "wheel_test: $(basename "$wheel") installed and tested from $package"
