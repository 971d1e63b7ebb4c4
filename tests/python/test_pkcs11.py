"""Keys in a SoftHSM2 token from Python: load_private_key by pkcs11: URI, and the URI in place of
a key file for palisande and request. The token lives in a temporary directory (SOFTHSM2_CONF)."""

import os
import shutil
import subprocess

import pytest

from norvan.api import ostrand
from norvan.signing import mime, pkcs11

SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
PIN = b"1234"

pytestmark = pytest.mark.skipif(
    not (os.path.exists(SOFTHSM) and shutil.which("softhsm2-util") and shutil.which("pkcs11-tool")),
    reason="softhsm2 and opensc (pkcs11-tool) are needed for a token")


@pytest.fixture(scope="module")
def token(tmp_path_factory):
    directory = tmp_path_factory.mktemp("softhsm")
    (directory / "tokens").mkdir()
    (directory / "softhsm2.conf").write_text(
        f"directories.tokendir = {directory}/tokens\nobjectstore.backend = file\nlog.level = ERROR\n")
    # Read by SoftHSM2 when the module is loaded, which stays loaded for this process.
    os.environ["SOFTHSM2_CONF"] = str(directory / "softhsm2.conf")
    subprocess.run(["softhsm2-util", "--init-token", "--free", "--label", "pytoken", "--pin", "1234",
                    "--so-pin", "12340"], check=True, capture_output=True)
    for key_type, label, key_id in (("EC:secp384r1", "alice", "01"), ("rsa:2048", "bob", "02")):
        subprocess.run(["pkcs11-tool", "--module", SOFTHSM, "--token-label", "pytoken", "--login", "--pin", "1234",
                        "--keypairgen", "--key-type", key_type, "--label", label, "--id", key_id],
                       check=True, capture_output=True)
    return directory


@pytest.mark.parametrize("label", ["alice", "bob"])
def test_a_token_key_makes_a_certificate_a_request_and_a_signature(token, label, tmp_path):
    uri = f"pkcs11:token=pytoken;object={label}"
    assert pkcs11.is_pkcs11_uri(uri) and not pkcs11.is_pkcs11_uri(str(tmp_path / "key.pem"))
    key = pkcs11.load_private_key(uri, pin=PIN, module=SOFTHSM)
    assert key.is_rsa() == (label == "bob")
    ostrand.palisande(uri, 1, PIN, tmp_path / "cert.pem", pkcs11_module=SOFTHSM)
    certificate = (tmp_path / "cert.pem").read_bytes()
    message = mime.sign_payload(certificate, key, b"signed in the token\n")
    assert mime.Verifier([certificate]).verify(message) == b"signed in the token\n"

    ostrand.request(uri, PIN, f"/CN={label}", [f"{label}@example.org"], [], tmp_path / "req.csr",
                    pkcs11_module=SOFTHSM)
    checked = subprocess.run(["openssl", "req", "-verify", "-noout", "-in", tmp_path / "req.csr"],
                             capture_output=True, text=True, check=False)
    assert checked.returncode == 0, checked.stderr


def test_token_failures_are_token_errors(token):
    with pytest.raises(pkcs11.TokenError, match="PIN"):
        pkcs11.load_private_key("pkcs11:token=pytoken;object=alice", pin=b"9999", module=SOFTHSM)
    with pytest.raises(pkcs11.TokenError, match="carol"):
        pkcs11.load_private_key("pkcs11:token=pytoken;object=carol", pin=PIN, module=SOFTHSM)
    with pytest.raises(pkcs11.TokenError):
        pkcs11.load_private_key("pkcs11:token=pytoken;object=alice", pin=PIN, module="/nonexistent/module.so")
    assert issubclass(pkcs11.TokenError, ValueError)
