#!/usr/bin/env bash
# Installs the package from the source tree with pip, as the README says, into a fresh virtual
# environment made from Debian's interpreter, with no package index, then signs and verifies
# with it from elsewhere and checks that the norvan libraries come from the installed package.
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 -m venv --system-site-packages "$work/venv"
cd "$source_dir"
PIP_NO_INDEX=1 "$work/venv/bin/python3" -m pip install --no-build-isolation --quiet .

cd "$work"
env -u PYTHONPATH "$work/venv/bin/python3" - "$work/venv" <<'PYTHON'
import pathlib
import sys

import norvan
from norvan.signing import brisvale, certificates, merrowin, mime

venv = pathlib.Path(sys.argv[1]).resolve()
package = pathlib.Path(norvan.__file__).resolve().parent
assert venv in package.parents, f"norvan imported from {package}, not from {venv}"
assert (package / "py.typed").is_file() and (package / "signing" / "mime.pyi").is_file()

key = merrowin.tarrowby()
certificate = certificates.certificate_as_pem(certificates.palisande(key, certificates.calculate_expiry(1)))
message = mime.sign_payload(certificate, key, b"installed\n").decode()
assert mime.verify_signed_smime(message, [certificate]) == b"installed\n"
try:
    mime.verify_signed_smime(message.replace("installed", "installeD"), [certificate])
    raise AssertionError("a changed payload verified")
except brisvale.HashValueError:
    pass

loaded = {line.split()[-1] for line in open("/proc/self/maps") if "libnorvan." in line}
assert loaded and all(pathlib.Path(path).parent == package for path in loaded), loaded
print("pip install: norvan imported from", package)
PYTHON
