"""mime.Verifier: trust roots in every form, the module functions' results and errors, threads,
and pickling."""

import os
import pickle
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import as_outcome, make_messages, outcome
from norvan.signing import brisvale, mime
from norvan.verification import VerificationError


@pytest.fixture(scope="module")
def messages(signer, other_signer):
    return make_messages(signer, other_signer, 40)


def test_verify_takes_bytes_or_str_and_verify_file_a_path(signer, tmp_path):
    payload = "gr\u00fc\u00dfe\nline 2\n".encode()
    message = mime.sign_payload(signer.certificate, signer.key, payload)
    verifier = mime.Verifier(trusted_certs=[signer.certificate])
    assert verifier.verify(message) == payload
    assert verifier.verify(message.decode()) == payload
    path = tmp_path / "message.eml"
    path.write_bytes(message)
    assert verifier.verify_file(path) == payload
    assert verifier.verify_file(str(path)) == payload
    with pytest.raises(TypeError):
        verifier.verify(bytearray(message))


def test_trust_roots_as_one_certificate_a_list_der_a_directory_or_nothing(signer, other_signer, tmp_path):
    message = mime.sign_payload(signer.certificate, signer.key, b"x\n")
    (tmp_path / "a.pem").write_bytes(other_signer.certificate)
    (tmp_path / "b.pem").write_bytes(signer.certificate)
    for verifier in (
        mime.Verifier(signer.certificate),
        mime.Verifier([other_signer.certificate, signer.certificate_der]),
        mime.Verifier((c for c in [signer.certificate])),
        mime.Verifier(trusted_dir=tmp_path),
        mime.Verifier([other_signer.certificate], str(tmp_path)),
    ):
        assert verifier.verify(message) == b"x\n", verifier
    # An empty list trusts nothing; no trust roots at all is the system's store.
    for verifier in (mime.Verifier([]), mime.Verifier(), mime.Verifier([other_signer.certificate])):
        with pytest.raises(brisvale.CertificateError) as caught:
            verifier.verify(message)
        assert isinstance(caught.value.__cause__, brisvale.CertificateValidationFailure)


def test_faulty_trust_roots_are_refused_when_the_verifier_is_made(signer, tmp_path):
    with pytest.raises(brisvale.InvalidTrustedCertificateError):
        mime.Verifier([b"not a certificate"])
    (tmp_path / "bad.pem").write_bytes(b"-----BEGIN CERTIFICATE-----\n!!!\n-----END CERTIFICATE-----\n")
    with pytest.raises(brisvale.InvalidTrustedCertificateError):
        mime.Verifier(trusted_dir=tmp_path)
    with pytest.raises(TypeError, match="not str"):
        mime.Verifier(signer.certificate.decode())
    with pytest.raises(TypeError, match="each entry of trusted_certs must be bytes .*, not str"):
        mime.Verifier([signer.certificate, "text"])


def test_every_outcome_is_the_module_functions_outcome(signer, messages):
    verifier = mime.Verifier([signer.certificate])
    expected = [outcome(mime.verify_signed_smime, m.decode(), [signer.certificate]) for m in messages]
    assert [outcome(verifier.verify, m) for m in messages] == expected
    kinds = {type(e) if isinstance(e, bytes) else e[0] for e in expected}
    assert kinds == {bytes, brisvale.HashValueError, brisvale.CertificateError}
    assert expected[9] == (brisvale.HashValueError, "Different hash values for raw and signed payload digests")

    no_signature = outcome(verifier.verify, "just some text\n")
    assert no_signature == (VerificationError, "Could not find any signature")


def test_file_errors_are_os_errors_naming_the_file(signer, tmp_path):
    verifier = mime.Verifier([signer.certificate])
    with pytest.raises(FileNotFoundError) as caught:
        verifier.verify_file(tmp_path / "missing.eml")
    assert caught.value.filename == str(tmp_path / "missing.eml")
    with pytest.raises(OSError) as caught:
        verifier.verify_file(tmp_path)
    assert caught.value.filename == str(tmp_path)
    tampered = mime.sign_payload(signer.certificate, signer.key, b"abc\n").replace(b"abc", b"abd")
    (tmp_path / "tampered.eml").write_bytes(tampered)
    assert outcome(verifier.verify_file, tmp_path / "tampered.eml") == outcome(verifier.verify, tampered)


def test_eight_threads_share_one_verifier(signer, messages):
    verifier = mime.Verifier([signer.certificate])
    expected = [outcome(verifier.verify, m) for m in messages]
    barrier = threading.Barrier(8)

    def work(_):
        barrier.wait()
        return [outcome(verifier.verify, m) for m in messages]

    with ThreadPoolExecutor(max_workers=8) as pool:
        assert list(pool.map(work, range(8))) == [expected] * 8


def test_pickling_keeps_the_certificates_and_the_directory(signer, other_signer, messages, tmp_path):
    verifier = mime.Verifier([signer.certificate])
    copy = pickle.loads(pickle.dumps(verifier))
    assert type(copy) is mime.Verifier and copy is not verifier
    assert [outcome(copy.verify, m) for m in messages] == [outcome(verifier.verify, m) for m in messages]
    assert repr(copy) == repr(verifier) == "<norvan.signing.mime.Verifier trusted_certs=1>"

    # The directory, whose name need not be UTF-8, is read again where the pickle is loaded.
    message = mime.sign_payload(other_signer.certificate, other_signer.key, b"later\n")
    directory = tmp_path / os.fsdecode(b"trusted-\xff")
    directory.mkdir()
    by_directory = mime.Verifier(trusted_dir=directory)
    pickled = pickle.dumps(by_directory)
    (directory / "other.pem").write_bytes(other_signer.certificate)
    with pytest.raises(brisvale.CertificateError):
        by_directory.verify(message)
    assert pickle.loads(pickled).verify(message) == b"later\n"

    # The system's trust store stays the system's trust store.
    system = pickle.loads(pickle.dumps(mime.Verifier(), protocol=pickle.HIGHEST_PROTOCOL))
    assert repr(system) == "<norvan.signing.mime.Verifier (system trust store)>"
    assert type(outcome(system.verify, messages[0])) is tuple


def test_a_pickle_whose_directory_is_gone_fails_as_the_constructor_does(signer, tmp_path):
    directory = tmp_path / "trusted"
    directory.mkdir()
    (directory / "a.pem").write_bytes(signer.certificate)
    pickled = pickle.dumps(mime.Verifier(trusted_dir=directory))
    (directory / "a.pem").write_bytes(b"garbage")
    with pytest.raises(brisvale.InvalidTrustedCertificateError) as caught:
        pickle.loads(pickled)
    assert as_outcome(caught.value) == outcome(mime.Verifier, None, directory)
