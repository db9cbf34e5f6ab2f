"""P11Session and P11Object driven by a script through the late-bound client, over SoftHSM2 on a
private copy of the token bench per test: the session demo end to end (its PIN change checked
with pkcs11-tool, its signature verified by OpenSSL), and the session rules as a script meets
them."""

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
                    "session_demo.py")
# The registry location must be fixed before the native library opens any hive.
SCRATCH = tempfile.mkdtemp(prefix="vantor-pavlox-session-")
os.environ["VANTOR_REGISTRY_DIR"] = os.path.join(SCRATCH, "registry")

import vantorcom  # noqa: E402
from vantorcom import ComError, Dispatch, constants  # noqa: E402

E_INVALIDARG = -2147024809
SHA256_PREFIX = bytes.fromhex("3031300d060960864801650304020105000420")
BENCH = {}


def signed(value):
    return value - (1 << 32) if value & 0x80000000 else value


def tool_env():
    # The tools carry their own sanitizer runtime in sanitizer builds; they must not get the
    # preloaded one this interpreter needs.
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def setUpModule():
    if not os.path.exists(os.path.join(BIN, "pavlox.so")):
        raise unittest.SkipTest("pavlox.so not built in VANTOR_BIN_DIR=%r" % BIN)
    if not os.path.exists(STATE):
        raise unittest.SkipTest("token bench not prepared (no state file at %r)" % STATE)
    with open(STATE) as f:
        BENCH.update(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    subprocess.run([os.path.join(BIN, "regsvr"), "-s", os.path.join(BIN, "pavlox.so")],
                   check=True, env=tool_env())


def tearDownModule():
    shutil.rmtree(SCRATCH, ignore_errors=True)


def attribute(attribute_type, value):
    attr = Dispatch("Pavlox.P11Attribute")
    vantorcom.put(attr, "ValueSafe", attribute_type, value)
    return attr


def recover(signature, work):
    """The bytes OpenSSL recovers from a PKCS#1 v1.5 signature with the bench's public key."""
    path = os.path.join(work, "signature.bin")
    with open(path, "wb") as f:
        f.write(bytes(signature))
    run = subprocess.run(["openssl", "pkeyutl", "-verifyrecover", "-pubin", "-keyform", "DER",
                          "-inkey", BENCH["pubkey_der"], "-in", path], capture_output=True,
                         env=tool_env(), timeout=60)
    assert run.returncode == 0, run.stderr
    return run.stdout


class SessionScript(unittest.TestCase):
    def setUp(self):
        # A fresh copy of the tokens per test: PIN changes stay inside the test.
        self.work = tempfile.mkdtemp(dir=SCRATCH)
        tokens = os.path.join(self.work, "tokens")
        shutil.copytree(BENCH["token_dir"], tokens)
        conf = os.path.join(self.work, "softhsm2.conf")
        with open(conf, "w") as f:
            f.write("directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n"
                    "slots.removable = false\n" % tokens)
        os.environ["SOFTHSM2_CONF"] = conf
        self.slot = signed(int(BENCH["token_slot"]))

    def pkcs11_tool(self, *args):
        return subprocess.run([BENCH["pkcs11_tool"], "--module", BENCH["module"], "--token-label",
                               BENCH["token_label"]] + list(args), capture_output=True,
                              text=True, env=tool_env(), timeout=60)

    def test_demo_lists_certificates_changes_the_pin_and_signs(self):
        signature = os.path.join(self.work, "demo.sig")
        run = subprocess.run([sys.executable, DEMO, BENCH["module"], str(self.slot),
                              BENCH["user_pin"], "n3w-PIN", "Vantor", signature],
                             capture_output=True, text=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("logged in: True", run.stdout)
        self.assertIn("certificate %r id %s" % (BENCH["cert_label"], BENCH["key_id"].upper()),
                      run.stdout)

        # OpenSSL verifies the signature over the DigestInfo with the bench's public key.
        digest_info = os.path.join(self.work, "digest_info.bin")
        with open(digest_info, "wb") as f:
            f.write(SHA256_PREFIX + hashlib.sha256(b"Vantor").digest())
        verify = subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-keyform", "DER",
                                 "-inkey", BENCH["pubkey_der"], "-in", digest_info, "-sigfile",
                                 signature], capture_output=True, text=True, env=tool_env(),
                                timeout=60)
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
        self.assertIn("Signature Verified Successfully", verify.stdout)

        # The new PIN is the token's PIN for everyone else too.
        listed = self.pkcs11_tool("--login", "--pin", "n3w-PIN", "--list-objects")
        self.assertEqual(listed.returncode, 0, listed.stdout + listed.stderr)
        self.assertIn(BENCH["data_private_label"], listed.stdout)
        self.assertNotEqual(self.pkcs11_tool("--login", "--pin", BENCH["user_pin"],
                                             "--list-objects").returncode, 0)

    def test_session_rules_as_a_script_meets_them(self):
        lib = Dispatch("Pavlox.Pkcs11Lib")
        lib.Load(BENCH["module"])
        session = lib.OpenSession(self.slot)
        with self.assertRaises(ComError) as e:
            session.Login("", False)
        self.assertEqual(e.exception.hresult, E_INVALIDARG)
        with self.assertRaises(ComError) as e:
            session.Login("0000", False)
        self.assertEqual(e.exception.hresult, constants.eCKR_PIN_INCORRECT)
        self.assertFalse(session.Logged)

        public = int(BENCH["objects_public"])
        self.assertEqual(len(list(session.FindObjects(None))), public)
        self.assertEqual(len(list(session.FindObjects([]))), public)
        with self.assertRaises(ComError) as e:
            session.FindObjects(vantorcom.Empty)
        self.assertEqual(e.exception.hresult, E_INVALIDARG)

        data = list(session.FindObjects([attribute(constants.eCKA_LABEL,
                                                   BENCH["data_public_label"])]))
        self.assertEqual(len(data), 1)
        self.assertTrue(data[0].Valid)
        label, cka_id = data[0].GetAttributeValue([constants.eCKA_LABEL, constants.eCKA_ID],
                                                  False)
        self.assertEqual(label.Value, BENCH["data_public_label"])
        self.assertEqual(label(), BENCH["data_public_label"])
        self.assertFalse(cka_id.Valid)
        self.assertIsNone(cka_id.Value)
        with self.assertRaises(ComError) as e:
            data[0].GetAttributeValue([constants.eCKA_LABEL, constants.eCKA_ID], True)
        self.assertEqual(e.exception.hresult, constants.eCKR_ATTRIBUTE_TYPE_INVALID)
        with self.assertRaises(ComError) as e:
            data[0].GetAttributeValue(constants.eCKA_LABEL, False)
        self.assertEqual(e.exception.hresult, E_INVALIDARG)

        # Signing a Python string: Latin-1 text one byte per character, wider text as UTF-16LE.
        session.Login(BENCH["user_pin"], False)
        key = list(session.FindObjects([attribute(constants.eCKA_CLASS,
                                                  constants.eCKO_PRIVATE_KEY)]))[0]
        self.assertEqual(recover(key.Sign("A\u00e9"), self.work), b"A\xe9")
        self.assertEqual(recover(key.Sign("A\u20ac"), self.work), b"A\x00\xac\x20")
        self.assertEqual(recover(key.Sign(b"\x00\x01"), self.work), b"\x00\x01")

        session.Close()
        self.assertFalse(session.Valid)
        self.assertFalse(key.Valid)
        for call in (session.Logout, lambda: session.Logged):
            with self.assertRaises(ComError) as e:
                call()
            self.assertEqual(e.exception.hresult, constants.eCKR_SESSION_HANDLE_INVALID)
        with self.assertRaises(ComError) as e:
            key.Sign(b"\x00")
        self.assertEqual(e.exception.hresult, -2147418113)  # E_UNEXPECTED
        with self.assertRaises(ComError) as e:
            session.ImportP12File("01", "label", "/nonexistent.p12", "")
        # The closed session answers before the (missing) file is looked for.
        self.assertEqual(e.exception.hresult, constants.eCKR_SESSION_HANDLE_INVALID)


if __name__ == "__main__":
    unittest.main()
