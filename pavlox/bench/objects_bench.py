#!/usr/bin/python3
"""Searching 1,000 data objects and reading label, ID and value of each, on two modules where a
call costs the module little: session objects (kept in memory) on SoftHSM2, and the same objects
on the fault module with no faults and no call delay. So the cost of our own layers shows, where
token objects on disk would bury it under the module's file reads.

Per module, in one run: direct PKCS#11 calls, the library's C++ interface and its late-bound
IDispatch (all three timed by the native pavlox_objects_bench, which makes its own session
objects); then in this process, on objects made here, a script through the late-bound client
against the same script written with PyKCS11, and the natural pattern of both clients: each query
finds one object by application and label, the late-bound client creating its two
Pavlox.P11Attribute search templates for every query (as a script writer naturally does), then
reads label and value. The objects sit in four groups of 250 (one CKA_APPLICATION each), so every
grouped search returns its whole group within the 256 objects one FindObjects hands back. Data
objects carry no CKA_ID, so the ID comes back unavailable in every read, which the read without
stop accepts as it must. Script rounds alternate between the two clients; each ratio is the
median of the per-round ratios. Memory is the resident size before and after the timed rounds.

usage: objects_bench.py --native PATH/pavlox_objects_bench [--check] [--objects N]
With --check it fails when, on either module, the C++ path costs more than 1.2x the direct
calls, a script through the late-bound client is not faster than the same script with PyKCS11,
or memory grows across rounds.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROUNDS = 7
GROUPS = 4
# Objects found one query each in the natural pattern (every query scans all objects in the
# module, so a subset keeps the run short without changing the per-query cost).
NATURAL_QUERIES = 250


def read_state():
    path = os.environ.get("VANTOR_TOKEN_BENCH_STATE", "")
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)


def resident_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def label_of(k):
    return "Bench Data %d" % k


def application_of(k):
    return "bench-%d" % (k % GROUPS)


def signed(slot):
    return slot - (1 << 32) if slot & 0x80000000 else slot


def timed_rounds(pairs, count):
    """Per-object seconds of each client over ROUNDS alternating rounds, and per-round ratios."""
    ours, theirs, ratios = [], [], []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        pairs[0]()
        a = (time.perf_counter() - start) / count
        start = time.perf_counter()
        pairs[1]()
        b = (time.perf_counter() - start) / count
        ours.append(a)
        theirs.append(b)
        ratios.append(a / b)
    return statistics.median(ours), statistics.median(theirs), statistics.median(ratios)


def script_figures(PyKCS11, module, slot, count):
    """The script workloads on one module, in this process; None when the clients disagree."""
    import vantorcom
    from vantorcom import Dispatch, constants

    # PyKCS11 initializes the module itself; Pavlox then finds it initialized by another
    # component of the process and leaves the initialization to it.
    peer = PyKCS11.PyKCS11Lib()
    peer.load(module)
    peer_session = peer.openSession(slot)
    # The objects live as long as the session that made them (read-only, public objects).
    for k in range(count):
        peer_session.createObject([
            (PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA), (PyKCS11.CKA_TOKEN, False),
            (PyKCS11.CKA_PRIVATE, False), (PyKCS11.CKA_LABEL, label_of(k)),
            (PyKCS11.CKA_APPLICATION, application_of(k)),
            (PyKCS11.CKA_VALUE, list(os.urandom(32)))])
    lib = Dispatch("Pavlox.Pkcs11Lib")
    lib.Load(module)
    session = lib.OpenSession(signed(slot))

    def group_attribute(g):
        attr = Dispatch("Pavlox.P11Attribute")
        vantorcom.put(attr, "ValueSafe", constants.eCKA_APPLICATION, application_of(g))
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
            for obj in peer_session.findObjects([(PyKCS11.CKA_APPLICATION, application_of(g))]):
                peer_session.getAttributeValue(obj, peer_wanted)
                n += 1
        return n

    def natural_ours():
        n = 0
        for k in range(NATURAL_QUERIES):
            app = Dispatch("Pavlox.P11Attribute")
            vantorcom.put(app, "ValueSafe", constants.eCKA_APPLICATION, application_of(k))
            label = Dispatch("Pavlox.P11Attribute")
            vantorcom.put(label, "ValueSafe", constants.eCKA_LABEL, label_of(k))
            for obj in session.FindObjects([app, label]):
                got_label, value = obj.GetAttributeValue(
                    [constants.eCKA_LABEL, constants.eCKA_VALUE], False)
                (got_label.Value, value.ValueRaw)
                n += 1
        return n

    def natural_theirs():
        n = 0
        for k in range(NATURAL_QUERIES):
            for obj in peer_session.findObjects([(PyKCS11.CKA_APPLICATION, application_of(k)),
                                                 (PyKCS11.CKA_LABEL, label_of(k))]):
                peer_session.getAttributeValue(obj, [PyKCS11.CKA_LABEL, PyKCS11.CKA_VALUE])
                n += 1
        return n

    try:
        found = ours()
        if found != count or theirs() != found or natural_ours() != NATURAL_QUERIES or \
                natural_theirs() != NATURAL_QUERIES:
            print("FAILED: the clients found different objects on %s" % module)
            return None
        before = resident_kib()
        script, peer_time, ratio = timed_rounds((ours, theirs), found)
        natural, peer_natural, natural_ratio = timed_rounds((natural_ours, natural_theirs),
                                                            NATURAL_QUERIES)
        growth = resident_kib() - before
    finally:
        session.Close()
        del session, searches
        peer_session.closeSession()  # the objects go with it
        lib.Unload()
        del lib
        del peer  # finalizes the module, so the next user initializes it afresh
    return {"script_us": script * 1e6, "peer_us": peer_time * 1e6, "script_ratio": ratio,
            "natural_us": natural * 1e6, "peer_natural_us": peer_natural * 1e6,
            "natural_ratio": natural_ratio, "growth_kib": growth}


def report(title, native, script, count):
    raw_us = float(native["raw_us"])
    print("%s: FindObjects + GetAttributeValue(label, ID, value) of %d session objects, per "
          "object (median of rounds):" % (title, count))
    print("  direct PKCS#11 calls      %8.2f us" % raw_us)
    print("  C++ interface             %8.2f us   %.2fx direct (target <= 1.2x)"
          % (float(native["cpp_us"]), float(native["cpp_ratio"])))
    print("  IDispatch, late-bound     %8.2f us   %.2fx direct"
          % (float(native["dispatch_us"]), float(native["dispatch_ratio"])))
    print("  script (vantorcom)        %8.2f us   %.2fx PyKCS11 (target < 1.0x), %.2fx direct"
          % (script["script_us"], script["script_ratio"], script["script_us"] / raw_us))
    print("  script (PyKCS11)          %8.2f us   %.2fx direct"
          % (script["peer_us"], script["peer_us"] / raw_us))
    print("  natural pattern, one query per object with its templates made per query:")
    print("  script (vantorcom)        %8.2f us   %.2fx PyKCS11 written naturally (target < 1.0x)"
          % (script["natural_us"], script["natural_ratio"]))
    print("  script (PyKCS11)          %8.2f us" % script["peer_natural_us"])
    print("  resident growth over %d rounds: native %s KiB, script %d KiB; objects left %s"
          % (ROUNDS, native["rss_growth_kib"], script["growth_kib"], native["objects_left"]))


def failures(title, native, script):
    failed = []
    if float(native["cpp_ratio"]) > 1.2:
        failed.append("%s: C++ path %.2fx direct calls" % (title, float(native["cpp_ratio"])))
    if script["script_ratio"] >= 1.0:
        failed.append("%s: scripting client %.2fx PyKCS11" % (title, script["script_ratio"]))
    if script["natural_ratio"] >= 1.0:
        failed.append("%s: natural script %.2fx PyKCS11" % (title, script["natural_ratio"]))
    if int(native["rss_growth_kib"]) > 1024 or int(native["objects_left"]) != 0:
        failed.append("%s: native memory grew or objects were left" % title)
    if script["growth_kib"] > 4096:
        failed.append("%s: script memory grew by %d KiB" % (title, script["growth_kib"]))
    return failed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--native", required=True)
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--objects", type=int, default=1000)
    args = parser.parse_args()
    if not 0 < args.objects <= GROUPS * 256 or args.objects < NATURAL_QUERIES:
        parser.error("--objects must lie between %d and %d" % (NATURAL_QUERIES, GROUPS * 256))

    state = read_state()
    if state is None:
        print("SKIPPED: token bench not prepared (VANTOR_TOKEN_BENCH_STATE)")
        return 0
    try:
        import PyKCS11
    except ImportError:
        print("SKIPPED: PyKCS11 (python3-pykcs11) is not installed for /usr/bin/python3")
        return 0
    bin_dir = os.environ["VANTOR_BIN_DIR"]
    fault_module = os.path.join(bin_dir, "fault_pkcs11.so")
    if not os.path.exists(fault_module):
        print("SKIPPED: the fault module is not built in %s" % bin_dir)
        return 0

    scratch = tempfile.mkdtemp(prefix="vantor-objects-bench-")
    try:
        # A private copy of the tokens: nothing made here reaches another test.
        tokens = os.path.join(scratch, "tokens")
        shutil.copytree(state["token_dir"], tokens)
        conf = os.path.join(scratch, "softhsm2.conf")
        with open(conf, "w") as f:
            f.write("directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n"
                    "slots.removable = false\n" % tokens)
        os.environ["SOFTHSM2_CONF"] = conf
        # The fault module without faults and without its default delay per call.
        os.environ["FAULT_P11_CONFIG"] = "delay_us=0"
        os.environ["VANTOR_REGISTRY_DIR"] = os.path.join(scratch, "registry")
        subprocess.run([os.path.join(bin_dir, "regsvr"), "-s",
                        os.path.join(bin_dir, "pavlox.so")], check=True)

        modules = [("SoftHSM2", state["module"], int(state["spare_slot"])),
                   ("fault module", fault_module, 1)]
        failed = []
        for title, module, slot in modules:
            native = subprocess.run(
                [args.native, module, str(signed(slot)), str(GROUPS), str(args.objects)],
                capture_output=True, text=True, timeout=600)
            if native.returncode != 0:
                print(native.stdout + native.stderr)
                return 1
            figures = dict(line.split("=", 1) for line in native.stdout.split())
            script = script_figures(PyKCS11, module, slot, args.objects)
            if script is None:
                return 1
            report(title, figures, script, args.objects)
            failed += failures(title, figures, script)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    if args.check and failed:
        print("FAILED: " + "; ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
