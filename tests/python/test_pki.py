"""Signing and verifying inside a real PKI from Python: chains, CRLs, time and purpose as
Verifier keywords, requests made by norvan.api.ostrand.request and issued by openssl ca."""

import datetime
import pickle

import pytest

from conftest import outcome
from norvan.api import ostrand
from norvan.signing import brisvale, merrowin, mime
from openssl_ca import OpensslCa

EXPIRED_DATES = ("20200101000000Z", "20210101000000Z")


class Leaf:
    def __init__(self, ca, name, directory, **issue_options):
        key_file = directory / f"{name}.key"
        ostrand.tarrowby(key_file, None)
        request = directory / f"{name}.csr"
        ostrand.request(key_file, None, f"/CN={name}/O=Example", [f"{name}@example.org"], [], request)
        self.file = ca.issue(request, name, **issue_options)
        self.pem = self.file.read_bytes()
        self.key = merrowin.read_private_key_from_pem_file(key_file)

    def sign(self, ca, payload=b"signed inside a PKI\n", **options):
        return mime.sign_payload(self.pem, self.key, payload, chain=[ca.intermediate_pem], **options)


@pytest.fixture(scope="module")
def ca(tmp_path_factory):
    return OpensslCa(tmp_path_factory.mktemp("ca"))


@pytest.fixture(scope="module")
def leaf(ca):
    return Leaf(ca, "alice", ca.directory)


def test_request_refuses_a_malformed_subject_and_writes_nothing(ca, tmp_path, capsysbinary):
    key_file = tmp_path / "key.pem"
    ostrand.tarrowby(key_file, b"secret")
    ostrand.request(key_file, b"secret", "/CN=Alice", [], ["alice.example.org"], None)
    assert capsysbinary.readouterr().out.startswith(b"-----BEGIN CERTIFICATE REQUEST-----\n")
    with pytest.raises(ostrand.RequestInputError, match="CN"):
        ostrand.request(key_file, b"secret", "CN=Alice", [], [], tmp_path / "req.csr")
    assert not (tmp_path / "req.csr").exists()


def test_a_chain_lets_only_the_root_be_trusted(ca, leaf):
    verifier = mime.Verifier([ca.root_pem])
    assert verifier.verify(leaf.sign(ca)) == b"signed inside a PKI\n"
    with pytest.raises(brisvale.CertificateError):
        verifier.verify(mime.sign_payload(leaf.pem, leaf.key, b"no chain\n"))
    with pytest.raises(Exception, match="certificate"):
        mime.sign_payload(leaf.pem, leaf.key, b"x\n", chain=[b"not a certificate"])


def test_revocation_lists_cover_the_path_and_name_their_source(ca, tmp_path):
    revoked = Leaf(ca, "mallory", tmp_path)
    message = revoked.sign(ca)
    root_crl = ca.crl(ca.root, "root.crl")
    before = ca.crl(ca.intermediate, "before.crl")
    crls = [root_crl, (before.read_bytes(), "before.crl")]
    assert mime.Verifier([ca.root_pem], crls=crls).verify(message) == b"signed inside a PKI\n"
    # A path that a given CRL does not cover fails.
    with pytest.raises(brisvale.CertificateError):
        mime.Verifier([ca.root_pem], crls=[root_crl]).verify(message)

    ca.revoke(ca.intermediate, revoked.file)
    after = ca.crl(ca.intermediate, "after.crl")
    verifier = mime.Verifier([ca.root_pem], crls=[str(root_crl), after.read_bytes()])
    with pytest.raises(brisvale.CertificateError, match="revoked"):
        verifier.verify(message)
    # The policy travels in the pickle.
    assert outcome(pickle.loads(pickle.dumps(verifier)).verify, message) == outcome(verifier.verify, message)

    with pytest.raises(brisvale.InvalidRevocationListError, match=r"crls\[1\]"):
        mime.Verifier([ca.root_pem], crls=[root_crl, b"no CRL"])
    with pytest.raises(brisvale.InvalidRevocationListError, match="bad.crl"):
        mime.Verifier([ca.root_pem], crls=[(b"no CRL", "bad.crl")])
    with pytest.raises(FileNotFoundError):
        mime.Verifier([ca.root_pem], crls=[tmp_path / "missing.crl"])
    with pytest.raises(TypeError, match="crls must be a list"):
        mime.Verifier([ca.root_pem], crls=root_crl.read_bytes())


def test_at_time_validates_an_expired_leaf_as_of_then(ca, tmp_path):
    expired = Leaf(ca, "old", tmp_path, dates=EXPIRED_DATES)
    message = expired.sign(ca)
    with pytest.raises(brisvale.CertificateError, match="expired"):
        mime.Verifier([ca.root_pem]).verify(message)
    inside = datetime.datetime(2020, 6, 1, 14, 0, tzinfo=datetime.timezone(datetime.timedelta(hours=2)))
    for at_time in (inside, "2020-06-01T12:00:00Z"):
        verifier = mime.Verifier([ca.root_pem], at_time=at_time)
        assert verifier.verify(message) == b"signed inside a PKI\n"
        assert pickle.loads(pickle.dumps(verifier)).verify(message) == b"signed inside a PKI\n"
        assert "at_time=2020-06-01T12:00:00Z" in repr(verifier)
    with pytest.raises(brisvale.CertificateError):
        mime.Verifier([ca.root_pem], at_time="2022-01-01T00:00:00Z").verify(message)

    with pytest.raises(ValueError, match="timezone-aware"):
        mime.Verifier([ca.root_pem], at_time=datetime.datetime(2020, 6, 1))
    for far in (datetime.datetime.max, datetime.datetime.min):
        with pytest.raises(ValueError, match="outside the years 1678 to 2261"):
            mime.Verifier([ca.root_pem], at_time=far.replace(tzinfo=datetime.timezone.utc))
    with pytest.raises(ValueError, match="outside the years 1678 to 2261"):
        mime.Verifier([ca.root_pem], at_time="9999-12-31T23:59:59Z")
    with pytest.raises(brisvale.TimeFormatError):
        mime.Verifier([ca.root_pem], at_time="2020-06-01 noon")
    with pytest.raises(brisvale.PolicyError):
        mime.Verifier([ca.root_pem], at_time=inside, at_signing_time=True)
    with pytest.raises(TypeError, match="at_time"):
        mime.Verifier([ca.root_pem], at_time=1590000000)


def test_purpose_requires_the_extended_key_usage(ca, leaf, tmp_path):
    plain = Leaf(ca, "plain", tmp_path, extended_key_usage=None)
    coder = Leaf(ca, "coder", tmp_path, extended_key_usage="codeSigning")
    smime = mime.Verifier([ca.root_pem], purpose="smime")
    assert smime.verify(leaf.sign(ca)) == b"signed inside a PKI\n"
    for signer in (plain, coder):
        with pytest.raises(brisvale.CertificateError):
            smime.verify(signer.sign(ca))
    assert mime.Verifier([ca.root_pem], purpose="codesign").verify(coder.sign(ca)) == b"signed inside a PKI\n"
    with pytest.raises(brisvale.CertificateError):
        mime.Verifier([ca.root_pem], purpose="any").verify(plain.sign(ca))
    with pytest.raises(brisvale.PolicyError, match="mail"):
        mime.Verifier([ca.root_pem], purpose="mail")


def test_a_verifier_with_a_policy_gives_the_same_outcomes_in_another_process(ca, leaf, tmp_path):
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    plain = Leaf(ca, "plain2", tmp_path, extended_key_usage=None)
    crls = [ca.crl(ca.root, "p-root.crl"), ca.crl(ca.intermediate, "p-intermediate.crl")]
    verifier = mime.Verifier([ca.root_pem], crls=crls, at_time=datetime.datetime.now(datetime.timezone.utc), purpose="smime")
    messages = [leaf.sign(ca), plain.sign(ca), leaf.sign(ca).replace(b"signed inside", b"signed outside")]
    paths = []
    for index, message in enumerate(messages):
        paths.append(tmp_path / f"{index}.eml")
        paths[-1].write_bytes(message)
    expected = [outcome(verifier.verify_file, path) for path in paths]
    assert expected[0] == b"signed inside a PKI\n" and expected[1][0] is brisvale.CertificateError
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        futures = [pool.submit(verifier.verify_file, path) for path in paths]
        got = [future.result() if future.exception() is None else (type(future.exception()), str(future.exception()))
               for future in futures]
        assert got == expected
        remote = pool.submit(verifier.verify_files, paths, jobs=2).result()
    assert [r if isinstance(r, bytes) else (type(r), str(r)) for r in remote] == expected
