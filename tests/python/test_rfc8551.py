"""RFC 8551 mode from Python: mail producers' messages verify, sign_payload(rfc8551=True) round trips."""

import pathlib

import pytest

from norvan.signing import brisvale, mime

FIXTURES = pathlib.Path(__file__).resolve().parents[1] / "data" / "signing" / "rfc8551"
ROOT = (FIXTURES.parent / "root-ca.pem").read_bytes()
PAYLOAD = (FIXTURES / "payload.txt").read_bytes()
MESSAGES = sorted(path.name for path in FIXTURES.glob("*.eml"))


@pytest.mark.parametrize("name", MESSAGES)
def test_mail_producers_messages_verify_in_rfc8551_mode(name):
    path = FIXTURES / name
    entity = mime.Verifier([ROOT], rfc8551=True).verify_file(path)
    if "-text-" in name:
        assert mime.Verifier([ROOT], rfc8551=True, body=True).verify_file(path) == PAYLOAD
        assert b"Content-Type: text/plain" in entity
    else:
        assert b"multipart/mixed" in entity and b"report.bin" in entity
    assert mime.Verifier([ROOT], rfc8551=True, at_signing_time=True).verify_file(path) == entity
    with pytest.raises((brisvale.HashValueError, mime.VerificationError)):
        mime.Verifier([ROOT]).verify_file(path)


def test_body_needs_the_rfc8551_mode():
    with pytest.raises(ValueError, match="body=True needs rfc8551=True"):
        mime.Verifier([ROOT], body=True)


@pytest.mark.parametrize("opaque", [False, True])
def test_rfc8551_signing_round_trips_with_body(signer, opaque):
    payload = "line one\nzweite Zeile \u00e4\u00f6\u00fc\n".encode()
    message = mime.sign_payload(signer.certificate, signer.key, payload, rfc8551=True, opaque=opaque)
    assert (b"application/pkcs7-mime" in message) == opaque
    assert mime.Verifier([signer.certificate], rfc8551=True, body=True).verify(message) == payload
    assert b"charset=utf-8" in mime.Verifier([signer.certificate], rfc8551=True).verify(message)


def test_a_ready_entity_is_signed_as_given(signer):
    entity = b"Content-Type: text/plain; charset=us-ascii\n\nhello\n"
    message = mime.sign_payload(signer.certificate, signer.key, entity, rfc8551=True, entity=True)
    assert mime.Verifier([signer.certificate], rfc8551=True).verify(message) == entity.replace(b"\n", b"\r\n")
    with pytest.raises(ValueError, match="header"):
        mime.sign_payload(signer.certificate, signer.key, b"no header block\n", rfc8551=True, entity=True)
