#!/usr/bin/python3
"""Verifier.verify of a 1 KiB message from Python against the C++ mime::Verifier on the same kind
of message (norvan_bench's mime_verifier), for EC P-384 and RSA-2048, in paired rounds.

    bench/python_verifier.py BUILD_DIR [--rounds N] [--seconds S]

BUILD_DIR holds a build with the Python package (BUILD_DIR/python) and -DNORVAN_BUILD_BENCH=ON
(BUILD_DIR/bench/norvan_bench); both should be of the same build type. Each round runs the C++
benchmark (one process) and then the Python loop, so that changes in the machine's load reach
both alike; the table gives the medians and the median of the per-round ratios (Python / C++),
of the wall time and of the CPU time of the calling thread.
The message is the one norvan_bench verifies: the same 1 KiB text payload, signed by a fresh
key of the kind with its self-signed certificate, the DER certificate as the only trust root.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

PAYLOAD_LINE = b"The signed payload is plain text with LF line ends, 0123456789.\n"
KINDS = {"ec_p384": 0, "rsa2048": 1}  # norvan_bench's key argument


def text_payload(size):
    return (PAYLOAD_LINE * (size // len(PAYLOAD_LINE) + 1))[:size]


def signer(kind):
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import rsa

    from norvan.signing import certificates, merrowin

    if kind == "ec_p384":
        key = merrowin.tarrowby_elliptic_curve()
    else:
        rsa_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        pem = rsa_key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.TraditionalOpenSSL,
                                    serialization.NoEncryption())
        key = merrowin.private_key_from_pem(pem)
    certificate = certificates.palisande(key, certificates.calculate_expiry(1))
    return key, certificates.certificate_as_pem(certificate)


def der_of(pem):
    import base64

    return base64.b64decode(b"".join(line for line in pem.splitlines() if not line.startswith(b"-----")))


def python_microseconds(verifier, message, seconds):
    """(wall, CPU time of the calling thread) of one verify() call, means over about `seconds`."""
    calls = 0
    verify = verifier.verify
    start, start_cpu = time.perf_counter(), time.thread_time()
    deadline = start + seconds
    while True:
        for _ in range(50):
            verify(message)
        calls += 50
        now = time.perf_counter()
        if now >= deadline:
            return (now - start) / calls * 1e6, (time.thread_time() - start_cpu) / calls * 1e6


def cpp_microseconds(norvan_bench, seconds):
    """norvan_bench's mime_verifier at 1 KiB: {kind: (wall, CPU time of the calling thread)} in µs
    per call (Google Benchmark's CPU time is the benchmark thread's)."""
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run(
            [norvan_bench, "--benchmark_filter=^mime_verifier/key:[01]/bytes:1024$", f"--benchmark_out={out.name}",
             "--benchmark_out_format=json", f"--benchmark_min_time={seconds}"],
            check=True, capture_output=True, text=True)
        benchmarks = json.load(out)["benchmarks"]
    times = {}
    for entry in benchmarks:
        key = int(entry["name"].split("key:")[1].split("/")[0])
        assert entry["time_unit"] == "us", entry["time_unit"]
        times[key] = (entry["real_time"], entry["cpu_time"])
    return {kind: times[index] for kind, index in KINDS.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=1.0)
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(args.build_dir, "python"))
    from norvan.signing import mime

    norvan_bench = os.path.join(args.build_dir, "bench", "norvan_bench")
    cases = {}
    for kind in KINDS:
        key, certificate = signer(kind)
        message = mime.sign_payload(certificate, key, text_payload(1024))
        cases[kind] = (mime.Verifier([der_of(certificate)]), message)

    python, cpp = {kind: [] for kind in KINDS}, {kind: [] for kind in KINDS}
    for _ in range(args.rounds):
        for kind, value in cpp_microseconds(norvan_bench, args.seconds).items():
            cpp[kind].append(value)
        for kind, (verifier, message) in cases.items():
            python[kind].append(python_microseconds(verifier, message, args.seconds))

    print(f"Verifier.verify, 1 KiB, {args.rounds} paired rounds (µs per call, medians; ratio: median of the")
    print("rounds' Python / C++). Wall time counts waiting for the processor on a loaded machine; the CPU")
    print("time of the calling thread does not.\n")
    print("| key | C++ wall | Python wall | ratio | C++ CPU | Python CPU | ratio |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for kind in KINDS:
        row = [kind]
        for index in (0, 1):
            p = [value[index] for value in python[kind]]
            c = [value[index] for value in cpp[kind]]
            ratio = statistics.median(a / b for a, b in zip(p, c))
            row += [f"{statistics.median(c):.1f}", f"{statistics.median(p):.1f}", f"{ratio:.3f}x"]
        print("| " + " | ".join(row) + " |")

if __name__ == "__main__":
    main()
