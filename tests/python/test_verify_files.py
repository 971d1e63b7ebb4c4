"""Verifier.verify_files: one outcome per path, each what verify_file gives for that message alone."""

import datetime
import os
import pickle
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import as_outcome, make_messages, outcome
from norvan.signing import brisvale, mime


@pytest.fixture(scope="module")
def inbox(signer, other_signer, tmp_path_factory):
    """Good, tampered and untrusted messages, an unreadable directory entry and a missing file."""
    directory = tmp_path_factory.mktemp("inbox")
    paths = []
    for index, message in enumerate(make_messages(signer, other_signer, 60)):
        path = directory / f"m{index:03}.eml"
        path.write_bytes(message)
        paths.append(path)
    (directory / "garbage.eml").write_bytes(b"not a message\n")
    (directory / "a-directory.eml").mkdir()
    return paths + [directory / "garbage.eml", directory / "missing.eml", directory / "a-directory.eml"]


def outcomes_of(results):
    return [as_outcome(result) if isinstance(result, BaseException) else result for result in results]


def test_each_outcome_is_that_of_verify_file_alone(signer, inbox):
    verifier = mime.Verifier([signer.certificate])
    expected = [outcome(verifier.verify_file, path) for path in inbox]
    kinds = {entry[0] if isinstance(entry, tuple) else bytes for entry in expected}
    assert kinds >= {bytes, brisvale.HashValueError, brisvale.CertificateError, FileNotFoundError}
    one = verifier.verify_files(inbox, jobs=1)
    assert outcomes_of(one) == expected
    assert outcomes_of(verifier.verify_files([str(path) for path in inbox], jobs=2)) == expected
    assert outcomes_of(verifier.verify_files(iter(inbox))) == expected
    # Failures are returned as the exceptions themselves, with their causes and attributes.
    untrusted = one[19]
    assert isinstance(untrusted, brisvale.CertificateError)
    assert isinstance(untrusted.__cause__, brisvale.CertificateValidationFailure)
    missing = one[-2]
    assert isinstance(missing, FileNotFoundError) and missing.filename == str(inbox[-2])


def test_the_options_and_a_pickled_copy_give_the_same_outcomes(signer, inbox):
    verifier = mime.Verifier([signer.certificate], purpose="smime")  # the self-signed certificate has no EKU
    copy = pickle.loads(pickle.dumps(verifier))
    expected = [outcome(verifier.verify_file, path) for path in inbox[:12]]
    assert all(isinstance(entry, tuple) for entry in expected)
    assert outcomes_of(copy.verify_files(inbox[:12], jobs=2)) == expected


def test_output_dir_writes_the_payloads_of_the_messages_that_verified(signer, inbox, tmp_path):
    verifier = mime.Verifier([signer.certificate])
    results = verifier.verify_files(inbox, output_dir=tmp_path)
    for path, result in zip(inbox, results):
        written = tmp_path / path.name.removesuffix(".eml")
        if isinstance(result, BaseException):
            assert not written.exists(), path
        else:
            assert result is None
            assert written.read_bytes() == verifier.verify_file(path)
    assert sorted(os.listdir(tmp_path)) == sorted(p.name[:-4] for p, r in zip(inbox, results) if r is None)


def test_what_makes_the_whole_call_impossible_raises(signer, inbox, tmp_path):
    verifier = mime.Verifier([signer.certificate])
    assert verifier.verify_files([]) == []
    with pytest.raises(ValueError, match="does not exist or is not a directory"):
        verifier.verify_files(inbox, output_dir=tmp_path / "missing")
    twin = tmp_path / "twin"
    twin.mkdir()
    (twin / inbox[0].name).write_bytes(inbox[0].read_bytes())
    with pytest.raises(ValueError, match="would both write"):
        verifier.verify_files([inbox[0], twin / inbox[0].name], output_dir=tmp_path)
    with pytest.raises(TypeError, match="not one path"):
        verifier.verify_files(str(inbox[0]))
    with pytest.raises(TypeError, match="not int"):
        verifier.verify_files([inbox[0], 42])
    with pytest.raises(ValueError, match="jobs"):
        verifier.verify_files(inbox, jobs=0)


def test_eight_threads_share_one_verifier(signer, inbox):
    verifier = mime.Verifier([signer.certificate])
    expected = outcomes_of(verifier.verify_files(inbox, jobs=1))
    start = threading.Barrier(8)

    def run(_):
        start.wait()
        return outcomes_of(verifier.verify_files(inbox, jobs=2))

    with ThreadPoolExecutor(8) as pool:
        assert all(result == expected for result in pool.map(run, range(8)))


def test_the_bound_method_pickles_with_cloudpickle(signer, inbox):
    cloudpickle = pytest.importorskip("cloudpickle")
    verifier = mime.Verifier([signer.certificate], at_time=datetime.datetime.now(datetime.timezone.utc))
    shipped = pickle.loads(cloudpickle.dumps(verifier.verify_files))
    expected = outcomes_of(verifier.verify_files(inbox[:12], jobs=1))
    assert expected[0] == verifier.verify_file(inbox[0])
    assert outcomes_of(shipped(inbox[:12], jobs=1)) == expected
