#!/usr/bin/python3
"""Messages per second verified on a Dask LocalCluster with 1 and with 2 worker processes (one
thread each), one pickled mime.Verifier shipped to the workers, `client.map` over the files.

    bench/python_dask.py BUILD_DIR [--messages 2000] [--rounds 3]

BUILD_DIR/python holds the Python package. The messages (1 KiB text payloads, EC P-384) are
written to a temporary directory; each round times one map over all of them, from the first
task submitted to the last result gathered, on a cluster that has already run a few tasks. The
table gives the best and the median round and the speed-up of 2 workers over 1.
"""
import argparse
import os
import statistics
import sys
import tempfile
import time


def make_files(directory, count, mime, certificate, key):
    payload = (b"The signed payload is plain text with LF line ends, 0123456789.\n" * 17)[:1024]
    message = mime.sign_payload(certificate, key, payload)
    paths = []
    for index in range(count):
        path = os.path.join(directory, f"{index:05}.eml")
        with open(path, "wb") as file:
            file.write(message)
        paths.append(path)
    return paths


def rates(distributed, verifier, paths, workers, rounds):
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        client.gather(client.map(verifier.verify_file, paths[:20], pure=False))  # workers up, Verifier there
        result = []
        for _ in range(rounds):
            start = time.perf_counter()
            futures = client.map(verifier.verify_file, paths, pure=False)
            client.gather(futures)
            result.append(len(paths) / (time.perf_counter() - start))
            del futures
        return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--messages", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(os.path.abspath(args.build_dir), "python"))
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [sys.path[0], os.environ.get("PYTHONPATH")]))
    import distributed

    from norvan.signing import certificates, merrowin, mime

    key = merrowin.tarrowby()
    certificate = certificates.certificate_as_pem(certificates.palisande(key, certificates.calculate_expiry(1)))
    verifier = mime.Verifier([certificate])
    with tempfile.TemporaryDirectory() as directory:
        paths = make_files(directory, args.messages, mime, certificate, key)
        measured = {workers: rates(distributed, verifier, paths, workers, args.rounds) for workers in (1, 2)}

    print(f"Dask LocalCluster, {args.messages} messages of 1 KiB (EC P-384), {args.rounds} rounds\n")
    print("| workers | messages/s (best) | messages/s (median) |")
    print("|---:|---:|---:|")
    for workers, values in measured.items():
        print(f"| {workers} | {max(values):.0f} | {statistics.median(values):.0f} |")
    print(f"\n2 workers / 1 worker (medians): {statistics.median(measured[2]) / statistics.median(measured[1]):.2f}x")


if __name__ == "__main__":
    main()
