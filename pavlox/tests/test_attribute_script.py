"""P11Attribute and Util driven by a script through the late-bound client: values made from
Python's own types go in by class and come back typed."""

import datetime
import os
import shutil
import subprocess
import tempfile
import unittest

BIN = os.environ.get("VANTOR_BIN_DIR", "")
# The registry location must be fixed before the native library opens any hive.
SCRATCH = tempfile.mkdtemp(prefix="vantor-pavlox-attr-")
os.environ["VANTOR_REGISTRY_DIR"] = os.path.join(SCRATCH, "registry")

import vantorcom  # noqa: E402
from vantorcom import ComError, Dispatch, constants  # noqa: E402

E_INVALIDARG = -2147024809


def setUpModule():
    if not os.path.exists(os.path.join(BIN, "pavlox.so")):
        raise unittest.SkipTest("pavlox.so not built in VANTOR_BIN_DIR=%r" % BIN)
    # The tool carries its own sanitizer runtime in sanitizer builds; it must not get the
    # preloaded one this interpreter needs.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run([os.path.join(BIN, "regsvr"), "-s", os.path.join(BIN, "pavlox.so")],
                   check=True, env=env)


def tearDownModule():
    shutil.rmtree(SCRATCH, ignore_errors=True)


def value_safe(attr, attribute_type, value):
    """attr.ValueSafe(attribute_type) = value, as a script host writes an indexed property."""
    vantorcom.put(attr, "ValueSafe", attribute_type, value)


class AttributeScript(unittest.TestCase):
    def test_values_by_class_from_python_types(self):
        attr = Dispatch("Pavlox.P11Attribute")
        value_safe(attr, constants.eCKA_LABEL, "Firma")
        self.assertEqual(attr.Value, "Firma")
        self.assertEqual(attr.ValueStr, "Firma")
        self.assertEqual(attr(), "Firma", "ValueStr is the default member")
        self.assertEqual(bytes(attr.ValueRaw), b"Firma")

        value_safe(attr, constants.eCKA_CLASS, constants.eCKO_PRIVATE_KEY)
        self.assertEqual(attr.Value, 3)
        self.assertEqual(attr.ValueStr, "3")

        value_safe(attr, constants.eCKA_END_DATE, datetime.date(2005, 12, 31))
        self.assertEqual(bytes(attr.ValueRaw), b"20051231")
        self.assertEqual(attr.Value.date(), datetime.date(2005, 12, 31))

        value_safe(attr, constants.eCKA_ID, b"\x0a\xff")
        self.assertEqual(attr.ValueStr, "0AFF")
        # A list of numbers is a VARIANT array: its elements convert to bytes one by one.
        value_safe(attr, constants.eCKA_ID, [1, 2, 255])
        self.assertEqual(attr.ValueStr, "0102FF")

        value_safe(attr, constants.eCKA_TOKEN, True)
        self.assertIs(attr.Value, True)
        self.assertEqual(attr.ValueStr, "True")
        with self.assertRaises(ComError) as e:
            value_safe(attr, constants.eCKA_TOKEN, "yes")
        self.assertEqual(e.exception.hresult, E_INVALIDARG)
        self.assertEqual(attr.Type, constants.eCKA_TOKEN)
        self.assertIs(attr.Value, True)

        attr.ValueRaw = b"\x41\xe9"
        self.assertEqual(attr.Type, 0)
        attr.Type = constants.eCKA_LABEL
        self.assertEqual(attr.Value, "A\u00e9")
        self.assertTrue(attr.Valid)

    def test_array_to_string(self):
        util = Dispatch("Pavlox.Util")
        self.assertEqual(util.ArrayToString(b"\x0a\xff", True), "0AFF")
        self.assertEqual(util.ArrayToString(b"Hi", False), "Hi")
        self.assertEqual(util.ArrayToString(48879, True), "BEEF")
        self.assertEqual(util.ArrayToString(48879, False), "48879")
        with self.assertRaises(ComError) as e:
            util.ArrayToString(b"Hi")
        self.assertEqual(e.exception.hresult, E_INVALIDARG)


if __name__ == "__main__":
    unittest.main()
