#!/usr/bin/python3
"""Searching 1,000 data objects and reading label, ID and value of each, five ways in one run
on a private copy of the token bench: direct PKCS#11 calls, the library's C++ interface and its
late-bound IDispatch (all three timed by the native pavlox_objects_bench), and a script through
the late-bound client against the same script written with PyKCS11. The objects sit in four
groups of 250 (one CKA_APPLICATION each), so every search returns its whole group within the
256 objects one FindObjects hands back. SoftHSM2's data objects carry no CKA_ID, so the ID
comes back unavailable in every read, which the read without stop accepts as it must. Script rounds alternate between the two clients; each
ratio is the median of the per-round ratios. Memory is the resident size before and after the
timed rounds.

usage: objects_bench.py --native PATH/pavlox_objects_bench [--check] [--objects N]
With --check it fails when the C++ path costs more than 1.2x the direct calls, the script
through the late-bound client is not faster than the same script with PyKCS11, or memory grows
across rounds.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROUNDS = 5
GROUPS = 4


def read_state():
    path = os.environ.get("VANTOR_TOKEN_BENCH_STATE", "")
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)


def resident_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def populate(PyKCS11, module, slot, pin, count):
    """count public data objects on the token in slot, spread over GROUPS applications."""
    lib = PyKCS11.PyKCS11Lib()
    lib.load(module)
    session = lib.openSession(slot, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
    session.login(pin)
    for k in range(count):
        session.createObject([
            (PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA), (PyKCS11.CKA_TOKEN, True),
            (PyKCS11.CKA_PRIVATE, False), (PyKCS11.CKA_LABEL, "Bench Data %d" % k),
            (PyKCS11.CKA_APPLICATION, "bench-%d" % (k % GROUPS)),
            (PyKCS11.CKA_VALUE, list(os.urandom(32)))])
    session.logout()
    session.closeSession()
    del lib  # finalizes the module, so the next user initializes it afresh


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--native", required=True)
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--objects", type=int, default=1000)
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
    slot = int(state["spare_slot"])

    scratch = tempfile.mkdtemp(prefix="vantor-objects-bench-")
    try:
        # A private copy of the tokens: the objects made here reach no other test.
        tokens = os.path.join(scratch, "tokens")
        shutil.copytree(state["token_dir"], tokens)
        conf = os.path.join(scratch, "softhsm2.conf")
        with open(conf, "w") as f:
            f.write("directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n"
                    "slots.removable = false\n" % tokens)
        os.environ["SOFTHSM2_CONF"] = conf
        populate(PyKCS11, module, slot, state["spare_user_pin"], args.objects)

        signed_slot = slot - (1 << 32) if slot & 0x80000000 else slot
        native = subprocess.run([args.native, module, str(signed_slot), str(GROUPS)],
                                capture_output=True, text=True, timeout=600)
        if native.returncode != 0:
            print(native.stdout + native.stderr)
            return 1
        figures = dict(line.split("=", 1) for line in native.stdout.split())

        os.environ["VANTOR_REGISTRY_DIR"] = os.path.join(scratch, "registry")
        bin_dir = os.environ["VANTOR_BIN_DIR"]
        subprocess.run([os.path.join(bin_dir, "regsvr"), "-s",
                        os.path.join(bin_dir, "pavlox.so")], check=True)
        import vantorcom
        from vantorcom import Dispatch, constants

        # PyKCS11 initializes the module itself; Pavlox then finds it initialized by another
        # component of the process and leaves the initialization to it.
        peer = PyKCS11.PyKCS11Lib()
        peer.load(module)
        peer_session = peer.openSession(slot)
        lib = Dispatch("Pavlox.Pkcs11Lib")
        lib.Load(module)
        session = lib.OpenSession(signed_slot)

        def group_attribute(g):
            attr = Dispatch("Pavlox.P11Attribute")
            vantorcom.put(attr, "ValueSafe", constants.eCKA_APPLICATION, "bench-%d" % g)
            return [attr]

        searches = [group_attribute(g) for g in range(GROUPS)]
        wanted = [constants.eCKA_LABEL, constants.eCKA_ID, constants.eCKA_VALUE]
        peer_wanted = [PyKCS11.CKA_LABEL, PyKCS11.CKA_ID, PyKCS11.CKA_VALUE]

        def ours():
            n = 0
            for search in searches:
                for obj in session.FindObjects(search):
                    label, cka_id, value = obj.GetAttributeValue(wanted, False)
                    (label.Value, cka_id.ValueRaw, value.ValueRaw)
                    n += 1
            return n

        def theirs():
            n = 0
            for g in range(GROUPS):
                for obj in peer_session.findObjects([(PyKCS11.CKA_APPLICATION, "bench-%d" % g)]):
                    peer_session.getAttributeValue(obj, peer_wanted)
                    n += 1
            return n

        found = ours()
        if found != int(figures["objects"]) or theirs() != found:
            print("FAILED: the clients found different objects")
            return 1
        before = resident_kib()
        script, peer_times, ratios = [], [], []
        for _ in range(ROUNDS):
            start = time.perf_counter()
            ours()
            a = (time.perf_counter() - start) / found
            start = time.perf_counter()
            theirs()
            b = (time.perf_counter() - start) / found
            script.append(a)
            peer_times.append(b)
            ratios.append(a / b)
        growth = resident_kib() - before
        session.Close()
        del session, searches
        peer_session.closeSession()
        lib.Unload()
        del lib
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    raw_us = float(figures["raw_us"])
    script_ratio = statistics.median(ratios)
    cpp_ratio = float(figures["cpp_ratio"])
    peer_us = statistics.median(peer_times) * 1e6
    print("FindObjects + GetAttributeValue(label, ID, value) of %s objects, per object "
          "(median of rounds):" % figures["objects"])
    print("  direct PKCS#11 calls      %8.2f us" % raw_us)
    print("  C++ interface             %8.2f us   %.2fx direct (target <= 1.2x)"
          % (float(figures["cpp_us"]), cpp_ratio))
    print("  IDispatch, late-bound     %8.2f us   %.2fx direct"
          % (float(figures["dispatch_us"]), float(figures["dispatch_ratio"])))
    print("  script (vantorcom)        %8.2f us   %.2fx PyKCS11 (target < 1.0x), %.2fx direct"
          % (statistics.median(script) * 1e6, script_ratio,
             statistics.median(script) * 1e6 / raw_us))
    print("  script (PyKCS11)          %8.2f us   %.2fx direct" % (peer_us, peer_us / raw_us))
    print("  resident growth over %d rounds: native %s KiB, script %d KiB; objects left %s"
          % (ROUNDS, figures["rss_growth_kib"], growth, figures["objects_left"]))
    if args.check:
        failed = []
        if cpp_ratio > 1.2:
            failed.append("C++ path %.2fx direct calls" % cpp_ratio)
        if script_ratio >= 1.0:
            failed.append("scripting client %.2fx PyKCS11" % script_ratio)
        if int(figures["rss_growth_kib"]) > 1024 or int(figures["objects_left"]) != 0:
            failed.append("native memory grew or objects were left")
        if growth > 4096:
            failed.append("script memory grew by %d KiB" % growth)
        if failed:
            print("FAILED: " + "; ".join(failed))
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
