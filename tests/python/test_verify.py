"""Signing and verification: the round trip, trust roots in every form, and each error by type."""

import base64
import re

import pytest

from norvan.signing import brisvale, mime
from norvan.verification import VerificationError


def signature_der(message: bytes) -> bytes:
    """The DER SignedData of a message made by sign_payload."""
    part = message.split(b"application/x-pkcs7-signature", 2)[-1]
    body = part.split(b"\r\n\r\n", 1)[1].split(b"\r\n--", 1)[0]
    return base64.b64decode(body)


def test_round_trip_returns_the_payload(signer):
    for payload in (b"abc\n", b"no final line end", b"", "gr\u00fc\u00dfe\nline 2\n".encode()):
        message = mime.sign_payload(signer.certificate, signer.key, payload)
        assert isinstance(message, bytes) and b"\r\n" in message
        assert mime.verify_signed_smime(message.decode(), [signer.certificate]) == payload


def test_trust_roots_as_pem_der_and_directory(signer, other_signer, tmp_path):
    payload = b"payload\n"
    datas = signature_der(mime.sign_payload(signer.certificate, signer.key, payload))
    assert brisvale.verify(datas, payload, [signer.certificate]) == payload
    assert brisvale.verify(datas, payload, [signer.certificate_der]) == payload
    (tmp_path / "a.pem").write_bytes(other_signer.certificate)
    (tmp_path / "b.pem").write_bytes(signer.certificate)
    assert brisvale.verify(datas, payload, None, systemCertsPath=tmp_path) == payload
    assert brisvale.verify(datas, payload, [other_signer.certificate], str(tmp_path)) == payload
    record = brisvale.VerifyData(systemCertsPath=tmp_path)
    assert record.verify(datas, payload) == payload
    (tmp_path / "b.pem").rename(tmp_path / "b.PEM")
    with pytest.raises(brisvale.CertificateError):
        brisvale.verify(datas, payload, None, tmp_path)


def test_verify_returns_the_payload_object_itself(signer):
    payload = b"identity\n"
    datas = signature_der(mime.sign_payload(signer.certificate, signer.key, payload))
    assert brisvale.verify(datas, payload, [signer.certificate]) is payload


def test_changed_payload_is_a_hash_value_error(signer):
    message = mime.sign_payload(signer.certificate, signer.key, b"abc\n").decode()
    with pytest.raises(brisvale.HashValueError) as caught:
        mime.verify_signed_smime(message.replace("abc", "abd"), [signer.certificate])
    assert str(caught.value) == "Different hash values for raw and signed payload digests"
    assert caught.value.__cause__ is None
    assert isinstance(caught.value, VerificationError)


def test_changed_signature_is_a_signature_error_with_a_cause(signer):
    payload = b"abc\n"
    datas = bytearray(signature_der(mime.sign_payload(signer.certificate, signer.key, payload)))
    datas[-1] ^= 0x01  # the last octet of the signature value
    with pytest.raises(brisvale.SignatureError) as caught:
        brisvale.verify(bytes(datas), payload, [signer.certificate])
    assert str(caught.value) == ""
    assert isinstance(caught.value.__cause__, Exception)


def test_untrusted_signer_is_a_certificate_error_with_the_failure_as_cause(signer, other_signer):
    datas = signature_der(mime.sign_payload(signer.certificate, signer.key, b"x"))
    for certs in ([], [other_signer.certificate]):
        with pytest.raises(brisvale.CertificateError) as caught:
            brisvale.verify(datas, b"x", certs)
        cause = caught.value.__cause__
        assert isinstance(cause, brisvale.CertificateValidationFailure)
        assert str(caught.value) == str(cause) != ""
        assert isinstance(cause.error_code, int) and cause.depth == 0
    # No trusted certificates at all: the system's store, which does not hold this one.
    message = mime.sign_payload(signer.certificate, signer.key, b"x").decode()
    with pytest.raises(brisvale.CertificateError):
        mime.verify_signed_smime(message)


def test_messages_without_their_parts(signer):
    with pytest.raises(VerificationError) as caught:
        mime.verify_signed_smime("just some text\n", [signer.certificate])
    assert type(caught.value) is VerificationError
    assert str(caught.value) == "Could not find any signature"

    message = mime.sign_payload(signer.certificate, signer.key, b"x").decode()
    boundary = re.search(r'boundary="([^"]+)"', message).group(1)
    signature_part = message[message.index("Content-Type: application/x-pkcs7-signature"):]
    only_signature = (
        f'MIME-Version: 1.0\r\nContent-Type: multipart/signed; boundary="{boundary}"\r\n\r\n--{boundary}\r\n'
        + signature_part
    )
    with pytest.raises(VerificationError) as caught:
        mime.verify_signed_smime(only_signature, [signer.certificate])
    assert type(caught.value) is VerificationError
    assert str(caught.value) == "Unsupported payload \"None\" type <class 'NoneType'>"


def test_malformed_input_is_a_value_error_not_a_verification_error(signer):
    with pytest.raises(brisvale.MalformedSignatureError):
        brisvale.verify(b"\x30\x03\x02\x01\x00", b"x", [signer.certificate])
    with pytest.raises(brisvale.InvalidTrustedCertificateError):
        brisvale.verify(b"", b"x", [b"not a certificate"])
    with pytest.raises(brisvale.InvalidTrustedCertificateError):
        brisvale.VerifyData([b"-----BEGIN CERTIFICATE-----\n!!!\n-----END CERTIFICATE-----\n"])
    import norvan

    with pytest.raises(norvan.OpenSSLError):
        mime.sign_payload(signer.certificate_der, signer.key, b"x")
