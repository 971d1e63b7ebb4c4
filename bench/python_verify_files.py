#!/usr/bin/python3
"""Messages per second of mime.Verifier.verify_files with jobs=1 and jobs=2 (and verify_file in a
Python loop for reference), on 1 KiB messages signed with EC P-384.

    bench/python_verify_files.py BUILD_DIR [--messages 2000] [--rounds 5]

BUILD_DIR/python holds the Python package. The messages are written to a temporary directory;
each round times each way over all of them. The table gives the best and the median round and
the speed-up of jobs=2 over jobs=1 (its best over the other's best).
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--messages", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(os.path.abspath(args.build_dir), "python"))
    from norvan.signing import certificates, merrowin, mime

    key = merrowin.tarrowby()
    certificate = certificates.certificate_as_pem(certificates.palisande(key, certificates.calculate_expiry(1)))
    verifier = mime.Verifier([certificate])
    with tempfile.TemporaryDirectory() as directory:
        paths = make_files(directory, args.messages, mime, certificate, key)
        ways = {
            "verify_file loop": lambda: [verifier.verify_file(path) for path in paths],
            "verify_files jobs=1": lambda: verifier.verify_files(paths, jobs=1),
            "verify_files jobs=2": lambda: verifier.verify_files(paths, jobs=2),
        }
        rates = {way: [] for way in ways}
        for _ in range(args.rounds):
            for way, run in ways.items():
                start = time.perf_counter()
                results = run()
                rates[way].append(len(paths) / (time.perf_counter() - start))
                assert all(isinstance(result, bytes) for result in results)
    print(f"{args.messages} messages of 1 KiB, EC P-384, {args.rounds} rounds, "
          f"{len(os.sched_getaffinity(0))} processors")
    print(f"{'way':<22}{'best msg/s':>12}{'median msg/s':>14}")
    for way, values in rates.items():
        print(f"{way:<22}{max(values):>12.0f}{statistics.median(values):>14.0f}")
    print(f"jobs=2 / jobs=1 (best): {max(rates['verify_files jobs=2']) / max(rates['verify_files jobs=1']):.2f}x")


if __name__ == "__main__":
    main()
