"""Calls from many Python threads at once, and the GIL released while norvan works."""

import threading
import time
from concurrent.futures import ThreadPoolExecutor

from norvan.binary_image import docker
from norvan.signing import brisvale, mime


def test_eight_threads_sign_and_verify_at_once(signer, other_signer):
    barrier = threading.Barrier(8)

    def work(index):
        barrier.wait()
        results = []
        for round_ in range(4):
            payload = f"thread {index} round {round_}\n".encode() * 100
            message = mime.sign_payload(signer.certificate, signer.key, payload).decode()
            results.append(mime.verify_signed_smime(message, [signer.certificate]) == payload)
            try:
                mime.verify_signed_smime(message, [other_signer.certificate])
                results.append(False)
            except brisvale.CertificateError:
                results.append(True)
        return results

    with ThreadPoolExecutor(max_workers=8) as pool:
        outcomes = list(pool.map(work, range(8)))
    assert outcomes == [[True] * 8] * 8


class QuietSession:
    def error(self, code):
        raise AssertionError(f"the command failed with {code}")


def test_python_runs_while_a_command_is_waited_for():
    worker = threading.Thread(target=docker.run_subprocess, args=(QuietSession(), ["sleep", "1"]))
    worker.start()
    ticks = 0
    while worker.is_alive():
        ticks += 1
        time.sleep(0.05)
    worker.join()
    assert ticks >= 5  # with the GIL held during the wait, this thread could not have ticked
