#!/usr/bin/python3
"""Slot list and every token's description, four ways in one run on the token bench: direct
PKCS#11 calls, the library's C++ interface and its late-bound IDispatch (both timed by the
native pavlox_p11_bench), and a script through the late-bound client against the same script
written with PyKCS11. Script rounds alternate between the two clients; the ratio is the median
of the per-round ratios.

usage: p11_bench.py --native PATH/pavlox_p11_bench [--check]
With --check it fails when the C++ path costs more than 1.2x the direct calls, or the script
through the late-bound client is not faster than the same script with PyKCS11 (the client's
compiled core makes about seven late-bound calls per slot to PyKCS11's one, each for well under
a microsecond of its own work).
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROUNDS = 9


def read_state():
    path = os.environ.get("VANTOR_TOKEN_BENCH_STATE", "")
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)


def timed(body, iterations):
    start = time.perf_counter()
    for _ in range(iterations):
        body()
    return (time.perf_counter() - start) / iterations


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--native", required=True)
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()

    state = read_state()
    if state is None:
        print("SKIPPED: token bench not prepared (VANTOR_TOKEN_BENCH_STATE)")
        return 0
    try:
        import PyKCS11
    except ImportError:
        print("SKIPPED: PyKCS11 (python3-pykcs11) is not installed for /usr/bin/python3")
        return 0
    module = state["module"]
    os.environ["SOFTHSM2_CONF"] = state["conf"]  # read-only use of the bench's tokens

    native = subprocess.run([args.native, module], capture_output=True, text=True, timeout=240)
    if native.returncode != 0:
        print(native.stdout + native.stderr)
        return 1
    figures = dict(line.split("=", 1) for line in native.stdout.split())

    scratch = tempfile.mkdtemp(prefix="vantor-p11-bench-")
    try:
        os.environ["VANTOR_REGISTRY_DIR"] = scratch
        bin_dir = os.environ["VANTOR_BIN_DIR"]
        subprocess.run([os.path.join(bin_dir, "regsvr"), "-s",
                        os.path.join(bin_dir, "pavlox.so")], check=True)
        from vantorcom import Dispatch

        # PyKCS11 initializes the module itself; Pavlox then finds it initialized by another
        # component of the process and leaves the initialization to it.
        peer = PyKCS11.PyKCS11Lib()
        peer.load(module)
        lib = Dispatch("Pavlox.Pkcs11Lib")
        lib.Load(module)

        def ours():
            for slot in lib.SlotList(False):
                token = lib.TokenInfo(slot)
                (token.Label, token.ManufacturerID, token.Model, token.SerialNumber,
                 token.Flags)

        def theirs():
            for slot in peer.getSlotList(tokenPresent=False):
                token = peer.getTokenInfo(slot)
                (token.label, token.manufacturerID, token.model, token.serialNumber,
                 token.flags)

        # Size a round to roughly 100 ms of PyKCS11.
        iterations = 1
        while timed(theirs, iterations) * iterations < 0.1 and iterations < 100000:
            iterations *= 2
        script, peer_times, ratios = [], [], []
        for _ in range(ROUNDS):
            a = timed(ours, iterations)
            b = timed(theirs, iterations)
            script.append(a)
            peer_times.append(b)
            ratios.append(a / b)
        lib.Unload()
        del lib
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    script_ratio = statistics.median(ratios)
    cpp_ratio = float(figures["cpp_ratio"])
    print("SlotList + TokenInfo of %s slots, per round (median of %d rounds):"
          % (figures["slots"], ROUNDS))
    print("  direct PKCS#11 calls      %9.1f us" % float(figures["raw_us"]))
    print("  C++ interface             %9.1f us   %.2fx direct (target <= 1.2x)"
          % (float(figures["cpp_us"]), cpp_ratio))
    print("  IDispatch, late-bound     %9.1f us   %.2fx direct"
          % (float(figures["dispatch_us"]), float(figures["dispatch_ratio"])))
    print("  script (vantorcom)        %9.1f us   %.2fx PyKCS11 (target < 1.0x)"
          % (statistics.median(script) * 1e6, script_ratio))
    print("  script (PyKCS11)          %9.1f us" % (statistics.median(peer_times) * 1e6))
    if args.check:
        failed = []
        if cpp_ratio > 1.2:
            failed.append("C++ path %.2fx direct calls" % cpp_ratio)
        if script_ratio >= 1.0:
            failed.append("scripting client %.2fx PyKCS11" % script_ratio)
        if failed:
            print("FAILED: " + "; ".join(failed))
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
