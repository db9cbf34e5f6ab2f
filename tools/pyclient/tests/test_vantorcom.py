"""The scripting client against the real server: registration, creation through the registry,
late-bound members, collections, constants and VARIANT conversions both ways."""

import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

BIN = os.environ.get("VANTOR_BIN_DIR", "")
# The registry location must be fixed before the native library opens any hive.
REGISTRY = tempfile.mkdtemp(prefix="vantor-pyclient-")
os.environ["VANTOR_REGISTRY_DIR"] = REGISTRY

import vantorcom  # noqa: E402
from vantorcom import ComError, Dispatch, constants  # noqa: E402

E_INVALIDARG = -2147024809
E_FAIL = -2147467259
CO_E_CLASSSTRING = -2147221005
DISP_E_TYPEMISMATCH = -2147352571
DISP_E_OVERFLOW = -2147352566


def setUpModule():
    if not os.path.exists(os.path.join(BIN, "pavlox.so")):
        raise unittest.SkipTest("pavlox.so not built in VANTOR_BIN_DIR=%r" % BIN)
    # The tool carries its own sanitizer runtime in sanitizer builds; it must not get the
    # preloaded one this interpreter needs.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run([os.path.join(BIN, "regsvr"), "-s", os.path.join(BIN, "pavlox.so")],
                   check=True, env=env)


def tearDownModule():
    shutil.rmtree(REGISTRY, ignore_errors=True)


class ServerObjects(unittest.TestCase):
    def test_collection_created_through_the_registry(self):
        coll = Dispatch("Pavlox.VariantCollection")
        self.assertEqual(coll.Count, 0)
        self.assertEqual(coll.count, 0, "names are case-insensitive")
        self.assertEqual(len(coll), 0)
        self.assertEqual(list(coll), [])
        with self.assertRaises(ComError) as e:
            coll.Item(0)
        self.assertEqual(e.exception.hresult, E_INVALIDARG)
        with self.assertRaises(ComError) as e:
            coll[1]
        self.assertEqual(e.exception.hresult, E_FAIL)
        with self.assertRaises(ComError) as e:
            coll(1)
        self.assertEqual(e.exception.hresult, E_FAIL)
        with self.assertRaises(AttributeError):
            coll.NoSuchMember

    def test_properties_and_property_put(self):
        attr = Dispatch("Pavlox.P11Attribute")
        self.assertEqual(attr.Type, 0)
        attr.Type = constants.eCKA_LABEL
        self.assertEqual(attr.Type, 3)
        attr.Type = "17"  # converted by the server's declared parameter type
        self.assertEqual(attr.Type, constants.eCKA_VALUE)
        self.assertFalse(attr.Valid)
        info = Dispatch("Pavlox.TokenInfo.1")
        self.assertEqual(info.Label, "")
        self.assertEqual(info.Flags, 0)
        with self.assertRaises(ComError):
            info.Flags = 1  # read-only
        lib = Dispatch("{7FF71226-8F6B-4B7D-8AE1-EE2CBA74655B}")
        self.assertIs(lib.Initialized, False)

    def test_classes_without_progid_cannot_be_created(self):
        for progid in ("Pavlox.P11Session", "Pavlox.P11Object", "Pavlox.Nothing"):
            with self.assertRaises(ComError) as e:
                Dispatch(progid)
            self.assertEqual(e.exception.hresult, CO_E_CLASSSTRING, progid)

    def test_published_enumerations_are_constants(self):
        Dispatch("Pavlox.Util")  # any object of the library loads its enumerations
        self.assertEqual(constants.eCKR_PIN_INCORRECT & 0xFFFFFFFF, 0x804000A0)
        self.assertEqual(constants.eCKR_OK & 0xFFFFFFFF, 0x80400000)
        self.assertEqual(constants.eCKR_EX_FILE_INVALID & 0xFFFFFFFF, 0x802003EE)
        self.assertEqual(constants.eCKF_USER_PIN_INITIALIZED, 8)
        self.assertEqual(constants.eCKO_CERTIFICATE, 1)
        self.assertEqual(constants.eCKK_AES, 0x1F)
        self.assertEqual(constants.eCKC_X_509, 0)
        self.assertEqual(constants.eCKF_SERIAL_SESSION, 4)
        self.assertEqual(constants.eCKA_VENDOR_DEFINED & 0xFFFFFFFF, 0x80000000)
        self.assertIn("eCKF_TOKEN_PRESENT", constants)


class Conversions(unittest.TestCase):
    def roundtrip(self, value):
        v = vantorcom.to_variant(value)
        try:
            return vantorcom.from_variant(v)
        finally:
            vantorcom._VariantClear(vantorcom.ctypes.byref(v))

    def test_values_survive_the_trip(self):
        for value in (None, True, False, 0, -5, 2**31 - 1, 2**31, 2**40, -2**63, 1.5, "",
                      "text with \u00e9 and \U0001F600", b"", b"\x00\xffAB",
                      datetime.datetime(2005, 12, 31, 13, 5, 9)):
            self.assertEqual(self.roundtrip(value), value, repr(value))
        self.assertEqual(self.roundtrip([1, "two", [3.0, None], b"\x04"]),
                         (1, "two", (3.0, None), b"\x04"))
        self.assertIsNone(self.roundtrip(vantorcom.Empty))
        self.assertEqual(self.roundtrip(vantorcom.Missing), -2147352572)

    def test_arrays_keep_their_bounds_and_dimension_order(self):
        # A 3 x 2 array of VT_I4 with lower bounds 1 and -1, made as a server would make it.
        ct = vantorcom.ctypes
        bounds = (vantorcom.SAFEARRAYBOUND * 2)(vantorcom.SAFEARRAYBOUND(3, 1),
                                                 vantorcom.SAFEARRAYBOUND(2, -1))
        psa = vantorcom._SafeArrayCreate(vantorcom.VT_I4, 2, bounds)
        self.assertTrue(psa)
        index = (vantorcom.LONG * 2)()
        for i in (1, 2, 3):
            for j in (-1, 0):
                index[0], index[1] = i, j
                cell = ct.c_int32(i * 10 + j)
                self.assertEqual(vantorcom._SafeArrayPutElement(psa, index, ct.addressof(cell)), 0)
        v = vantorcom.VARIANT()
        v.vt = vantorcom.VT_ARRAY | vantorcom.VT_I4
        v.v.ptr = psa
        try:
            self.assertEqual(vantorcom.from_variant(v), ((9, 10), (19, 20), (29, 30)))
        finally:
            vantorcom._VariantClear(ct.byref(v))

    def test_server_side_conversion_rules(self):
        self.assertEqual(vantorcom.change_type(True, vantorcom.VT_BSTR), "-1")
        self.assertEqual(vantorcom.change_type(True, vantorcom.VT_BSTR, 0x02), "True")
        self.assertEqual(vantorcom.change_type("12/31/2005", vantorcom.VT_DATE),
                         datetime.datetime(2005, 12, 31))
        self.assertEqual(vantorcom.change_type(2.5, vantorcom.VT_I4), 2)
        self.assertEqual(vantorcom.change_type("AB", vantorcom.VT_ARRAY | vantorcom.VT_UI1),
                         b"A\x00B\x00")
        with self.assertRaises(ComError) as e:
            vantorcom.change_type(-1, vantorcom.VT_UI4)
        self.assertEqual(e.exception.hresult, DISP_E_OVERFLOW)
        with self.assertRaises(ComError) as e:
            vantorcom.change_type("maybe", vantorcom.VT_BOOL)
        self.assertEqual(e.exception.hresult, DISP_E_TYPEMISMATCH)
        with self.assertRaises(TypeError):
            vantorcom.to_variant(object())


if __name__ == "__main__":
    unittest.main()
