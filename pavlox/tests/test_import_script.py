"""The PKCS#12 import driven by a script through the late-bound client, over SoftHSM2 on a
private copy of the token bench: the import demo end to end (its signature verified by OpenSSL
with the file's certificate, the objects listed by pkcs11-tool), and the import's result codes
as a script meets them."""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

BIN = os.environ.get("VANTOR_BIN_DIR", "")
STATE = os.environ.get("VANTOR_TOKEN_BENCH_STATE", "")
DEMO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples",
                    "import_demo.py")
SCRATCH = tempfile.mkdtemp(prefix="vantor-pavlox-import-")
os.environ["VANTOR_REGISTRY_DIR"] = os.path.join(SCRATCH, "registry")

import vantorcom  # noqa: E402
from vantorcom import ComError, Dispatch, constants  # noqa: E402

SHA256_PREFIX = bytes.fromhex("3031300d060960864801650304020105000420")
BENCH = {}
FILES = {}


def signed(value):
    return value - (1 << 32) if value & 0x80000000 else value


def tool_env():
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, capture_output=True, env=tool_env(),
                   timeout=120)


def setUpModule():
    if not os.path.exists(os.path.join(BIN, "pavlox.so")):
        raise unittest.SkipTest("pavlox.so not built in VANTOR_BIN_DIR=%r" % BIN)
    if not os.path.exists(STATE):
        raise unittest.SkipTest("token bench not prepared (no state file at %r)" % STATE)
    with open(STATE) as f:
        BENCH.update(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    subprocess.run([os.path.join(BIN, "regsvr"), "-s", os.path.join(BIN, "pavlox.so")],
                   check=True, env=tool_env())
    at = lambda name: os.path.join(SCRATCH, name)  # noqa: E731
    openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", at("k"))
    openssl("req", "-new", "-x509", "-days", "30", "-key", at("k"), "-subj", "/CN=Script Import",
            "-out", at("crt"))
    openssl("pkcs12", "-export", "-inkey", at("k"), "-in", at("crt"), "-passout", "pass:pw",
            "-out", at("good.p12"))
    openssl("pkcs12", "-export", "-inkey", at("k"), "-in", at("crt"), "-nokeys", "-passout",
            "pass:pw", "-out", at("certs.p12"))
    FILES.update(good=at("good.p12"), certs=at("certs.p12"), cert=at("crt"))


def tearDownModule():
    shutil.rmtree(SCRATCH, ignore_errors=True)


class ImportScript(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(dir=SCRATCH)
        tokens = os.path.join(self.work, "tokens")
        shutil.copytree(BENCH["token_dir"], tokens)
        conf = os.path.join(self.work, "softhsm2.conf")
        with open(conf, "w") as f:
            f.write("directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n"
                    "slots.removable = false\n" % tokens)
        os.environ["SOFTHSM2_CONF"] = conf
        self.slot = signed(int(BENCH["token_slot"]))

    def test_demo_imports_and_the_token_signs(self):
        signature = os.path.join(self.work, "demo.sig")
        run = subprocess.run([sys.executable, DEMO, BENCH["module"], str(self.slot),
                              BENCH["user_pin"], FILES["good"], "pw", "01AB", "Script Key",
                              "Vantor", signature], capture_output=True, text=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        digest_info = os.path.join(self.work, "digest_info.bin")
        with open(digest_info, "wb") as f:
            f.write(SHA256_PREFIX + hashlib.sha256(b"Vantor").digest())
        verify = subprocess.run(["openssl", "pkeyutl", "-verify", "-certin", "-inkey",
                                 FILES["cert"], "-in", digest_info, "-sigfile", signature],
                                capture_output=True, text=True, env=tool_env(), timeout=60)
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
        listed = subprocess.run([BENCH["pkcs11_tool"], "--module", BENCH["module"],
                                 "--token-label", BENCH["token_label"], "--login", "--pin",
                                 BENCH["user_pin"], "--list-objects", "--id", "30314142"],
                                capture_output=True, text=True, env=tool_env(), timeout=60)
        self.assertEqual(listed.returncode, 0, listed.stderr)
        self.assertEqual(listed.stdout.count("Script Key"), 2, listed.stdout)

    def test_result_codes_as_a_script_meets_them(self):
        lib = Dispatch("Pavlox.Pkcs11Lib")
        lib.Load(BENCH["module"])
        session = lib.OpenSession(self.slot)
        session.Login(BENCH["user_pin"], False)
        cases = [
            (os.path.join(self.work, "missing.p12"), "pw", constants.eCKR_EX_FILE_NOT_FOUND),
            (FILES["good"], "wrong", constants.eCKR_EX_FILE_INVALID),
            (FILES["certs"], "pw", constants.eCKR_EX_FILE_INVALID),
        ]
        for path, password, expected in cases:
            with self.subTest(path=path, password=password):
                with self.assertRaises(ComError) as e:
                    session.ImportP12File("ID", "Label", path, password)
                self.assertEqual(e.exception.hresult, expected)
        session.Close()
        with self.assertRaises(ComError) as e:
            session.ImportP12File("ID", "Label", FILES["good"], "pw")
        self.assertEqual(e.exception.hresult, constants.eCKR_SESSION_HANDLE_INVALID)


if __name__ == "__main__":
    unittest.main()
