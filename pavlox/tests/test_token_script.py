"""Pavlox.Pkcs11Lib driven by a script through the late-bound client, over SoftHSM2 on a private
copy of the token bench: the demo script end to end, checked with pkcs11-tool, and the result
model as a script meets it."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

BIN = os.environ.get("VANTOR_BIN_DIR", "")
STATE = os.environ.get("VANTOR_TOKEN_BENCH_STATE", "")
DEMO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "token_demo.py")
# The registry location must be fixed before the native library opens any hive.
SCRATCH = tempfile.mkdtemp(prefix="vantor-pavlox-script-")
os.environ["VANTOR_REGISTRY_DIR"] = os.path.join(SCRATCH, "registry")

from vantorcom import ComError, Dispatch, constants  # noqa: E402

E_INVALIDARG = -2147024809
BENCH = {}


def signed(value):
    return value - (1 << 32) if value & 0x80000000 else value


def setUpModule():
    if not os.path.exists(os.path.join(BIN, "pavlox.so")):
        raise unittest.SkipTest("pavlox.so not built in VANTOR_BIN_DIR=%r" % BIN)
    if not os.path.exists(STATE):
        raise unittest.SkipTest("token bench not prepared (no state file at %r)" % STATE)
    with open(STATE) as f:
        BENCH.update(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    # A private copy of the tokens, so what this test initializes no other test sees.
    tokens = os.path.join(SCRATCH, "tokens")
    shutil.copytree(BENCH["token_dir"], tokens)
    conf = os.path.join(SCRATCH, "softhsm2.conf")
    with open(conf, "w") as f:
        f.write("directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n"
                "slots.removable = false\n" % tokens)
    os.environ["SOFTHSM2_CONF"] = conf
    # The tool carries its own sanitizer runtime in sanitizer builds; it must not get the
    # preloaded one this interpreter needs.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run([os.path.join(BIN, "regsvr"), "-s", os.path.join(BIN, "pavlox.so")],
                   check=True, env=env)


def tearDownModule():
    shutil.rmtree(SCRATCH, ignore_errors=True)


def outside_labels():
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    run = subprocess.run([BENCH["pkcs11_tool"], "--module", BENCH["module"],
                          "--list-token-slots"], capture_output=True, text=True, env=env,
                         timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    key = "token label        : "
    return {line.split(key, 1)[1] for line in run.stdout.splitlines() if key in line}


class TokenScript(unittest.TestCase):
    def test_demo_lists_tokens_and_initializes_one(self):
        free = signed(int(BENCH["free_slot"]))
        run = subprocess.run([sys.executable, DEMO, BENCH["module"], str(free), "8765-4321",
                              "Script Token"], capture_output=True, text=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("%r" % BENCH["token_label"], run.stdout)
        self.assertIn("serial %r" % BENCH["token_serial"], run.stdout)
        self.assertIn("slot %d now holds 'Script Token'" % free, run.stdout)
        self.assertIn("Script Token", outside_labels())

    def test_result_model_as_a_script_meets_it(self):
        lib = Dispatch("Pavlox.Pkcs11Lib")
        self.assertFalse(lib.Initialized)
        with self.assertRaises(ComError) as e:
            lib.TokenPresent(1)
        self.assertEqual(e.exception.hresult, constants.eCKR_CRYPTOKI_NOT_INITIALIZED)
        with self.assertRaises(ComError) as e:
            lib.Load("/nonexistent/module.so")
        self.assertEqual(e.exception.hresult, E_INVALIDARG)
        lib.Load(BENCH["module"])
        self.assertTrue(lib.Initialized)
        with self.assertRaises(ComError) as e:
            lib.SlotList()
        self.assertEqual(e.exception.hresult, E_INVALIDARG)
        slots = list(lib.SlotList(True))
        self.assertIn(signed(int(BENCH["token_slot"])), slots)
        token = signed(int(BENCH["token_slot"]))
        self.assertTrue(lib.TokenValid(token))
        info = lib.TokenInfo(token)
        self.assertEqual(info.Label, BENCH["token_label"])
        self.assertTrue(info.Flags & constants.eCKF_TOKEN_INITIALIZED)
        with self.assertRaises(ComError) as e:
            lib.InitToken(token, "wrong-so-pin", "Nope")
        self.assertEqual(e.exception.hresult, constants.eCKR_PIN_INCORRECT)
        session = lib.OpenSession(token)
        self.assertTrue(session.Valid)
        session.Close()
        self.assertFalse(session.Valid)
        lib.Unload()
        self.assertFalse(lib.Initialized)
        with self.assertRaises(ComError) as e:
            lib.TokenInfo(token)
        self.assertEqual(e.exception.hresult, constants.eCKR_CRYPTOKI_NOT_INITIALIZED)


if __name__ == "__main__":
    unittest.main()
