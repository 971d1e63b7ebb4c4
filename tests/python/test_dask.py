"""Verification on a Dask cluster of two worker processes: one Verifier shipped to the workers
(pickled), every outcome the one this process gets."""

import dask.bag
import distributed
import pytest

from conftest import as_outcome, make_messages, outcome
from norvan.signing import brisvale, mime
from norvan.verification import VerificationError

MESSAGES = 2000


@pytest.fixture(scope="module")
def message_files(signer, other_signer, tmp_path_factory):
    directory = tmp_path_factory.mktemp("inbox")
    paths = []
    for index, message in enumerate(make_messages(signer, other_signer, MESSAGES)):
        path = directory / f"{index:04}.eml"
        path.write_bytes(message)
        paths.append(str(path))
    return paths


def gathered_outcomes(client, futures):
    """Each future's result, or the type and text of the exception it raised, in order."""
    distributed.wait(futures, timeout=300)
    done = [future for future in futures if future.status == "finished"]
    payloads = iter(client.gather(done))
    return [next(payloads) if future.status == "finished" else as_outcome(future.exception()) for future in futures]


def test_a_cluster_verifies_every_message_as_this_process_does(signer, message_files):
    verifier = mime.Verifier(trusted_certs=[signer.certificate])
    expected = [outcome(verifier.verify_file, path) for path in message_files]
    failures = [e for e in expected if not isinstance(e, bytes)]
    assert len(failures) == MESSAGES // 10
    assert {e[0] for e in failures} == {brisvale.HashValueError, brisvale.CertificateError}

    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        futures = client.map(verifier.verify_file, message_files)
        results = gathered_outcomes(client, futures)
        workers = {worker for worker, keys in client.has_what().items() if keys}
    assert results == expected
    assert len(workers) == 2  # both processes took part


def test_a_bag_on_worker_processes_ships_the_verifier_with_cloudpickle(signer, message_files):
    # Dask's process scheduler pickles the bound method with cloudpickle, not pickle.
    verifier = mime.Verifier(trusted_certs=signer.certificate)
    verified = [path for path in message_files[:40] if isinstance(outcome(verifier.verify_file, path), bytes)]
    bag = dask.bag.from_sequence(verified, npartitions=2).map(verifier.verify_file)
    assert bag.compute(scheduler="processes") == [verifier.verify_file(path) for path in verified]
    for failing in message_files[9], message_files[19]:
        with pytest.raises(VerificationError) as caught:
            dask.bag.from_sequence([failing]).map(verifier.verify_file).compute(scheduler="processes")
        assert as_outcome(caught.value) == outcome(verifier.verify_file, failing)
