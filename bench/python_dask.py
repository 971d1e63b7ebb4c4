#!/usr/bin/python3
"""Messages per second verified on a Dask LocalCluster with 1 and with 2 worker processes (one
thread each), one pickled mime.Verifier shipped to the workers: `client.map` over the files (one
task each) and a dask.bag of 100-file partitions (one task each, less scheduling per message).

    bench/python_dask.py BUILD_DIR [--messages 2000] [--rounds 3]

BUILD_DIR/python holds the Python package. The messages (1 KiB text payloads, EC P-384) are
written to a temporary directory; each round times each way over all of them, from the first
task submitted to the last payload gathered, on a cluster that has already run a few tasks. The
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


def rates(distributed, bag_module, verifier, paths, workers, rounds):
    """{way: [messages per second of each round]} for one task per file (client.map) and for a
    bag of 100-file partitions (one task per partition)."""
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        client.gather(client.map(verifier.verify_file, paths[:20], pure=False))  # workers up, Verifier there
        ways = {
            "client.map": lambda: client.gather(client.map(verifier.verify_file, paths, pure=False)),
            "dask.bag": lambda: bag_module.from_sequence(paths, partition_size=100).map(verifier.verify_file).compute(),
        }
        result = {way: [] for way in ways}
        for _ in range(rounds):
            for way, run in ways.items():
                start = time.perf_counter()
                payloads = run()
                result[way].append(len(paths) / (time.perf_counter() - start))
                assert len(payloads) == len(paths)
        return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--messages", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(os.path.abspath(args.build_dir), "python"))
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [sys.path[0], os.environ.get("PYTHONPATH")]))
    import dask.bag
    import distributed

    from norvan.signing import certificates, merrowin, mime

    key = merrowin.tarrowby()
    certificate = certificates.certificate_as_pem(certificates.palisande(key, certificates.calculate_expiry(1)))
    verifier = mime.Verifier([certificate])
    with tempfile.TemporaryDirectory() as directory:
        paths = make_files(directory, args.messages, mime, certificate, key)
        measured = {workers: rates(distributed, dask.bag, verifier, paths, workers, args.rounds) for workers in (1, 2)}

    print(f"Dask LocalCluster, {args.messages} messages of 1 KiB (EC P-384), {args.rounds} rounds\n")
    print("| way | workers | messages/s (best) | messages/s (median) |")
    print("|---|---:|---:|---:|")
    for way in measured[1]:
        for workers, values in measured.items():
            print(f"| {way} | {workers} | {max(values[way]):.0f} | {statistics.median(values[way]):.0f} |")
    for way in measured[1]:
        speed_up = statistics.median(measured[2][way]) / statistics.median(measured[1][way])
        print(f"\n{way}: 2 workers / 1 worker (medians): {speed_up:.2f}x", end="")
    print()


if __name__ == "__main__":
    main()
