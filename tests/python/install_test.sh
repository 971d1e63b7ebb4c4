#!/usr/bin/env bash
# `make install` puts the Python package into the prefix's Python directory; from there it finds
# the norvan libraries in the prefix's library directory, whatever the prefix.
set -euo pipefail
build_dir=$1
python_dir=$2   # relative to the prefix
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
mv "$work/prefix" "$work/moved"   # the run paths are relative
cd "$work"
PYTHONPATH="$work/moved/$python_dir" /usr/bin/python3 - "$work/moved" <<'PYTHON'
import pathlib
import sys

import norvan
from norvan.signing import certificates, merrowin, mime

prefix = pathlib.Path(sys.argv[1]).resolve()
assert prefix in pathlib.Path(norvan.__file__).resolve().parents
key = merrowin.tarrowby()
certificate = certificates.certificate_as_pem(certificates.palisande(key, certificates.calculate_expiry(1)))
assert mime.verify_signed_smime(mime.sign_payload(certificate, key, b"x\n").decode(), [certificate]) == b"x\n"
loaded = {pathlib.Path(line.split()[-1]) for line in open("/proc/self/maps") if "libnorvan." in line}
assert loaded and all(prefix in path.parents for path in loaded), loaded
print("installed package imports and loads the prefix's libraries")
PYTHON
