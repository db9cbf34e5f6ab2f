"""The scripting client against the real server: registration, creation through the registry,
late-bound members, collections, constants, VARIANT conversions both ways, and the lifetime of
the server objects the client wraps."""

import ctypes
import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

BIN = os.environ.get("VANTOR_BIN_DIR", "")
STATE = os.environ.get("VANTOR_TOKEN_BENCH_STATE", "")
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


def references(obj):
    """The server object's reference count, read through its own AddRef and Release."""
    vtable = ctypes.cast(ctypes.c_void_p(obj._ptr),
                         ctypes.POINTER(ctypes.POINTER(ctypes.c_void_p)))[0]
    proto = ctypes.CFUNCTYPE(ctypes.c_uint32, ctypes.c_void_p)
    count = proto(vtable[1])(obj._ptr) - 1
    proto(vtable[2])(obj._ptr)
    return count


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

    def test_indexed_property_put(self):
        attr = Dispatch("Pavlox.P11Attribute")
        vantorcom.put(attr, "ValueSafe", constants.eCKA_LABEL, "My key")
        self.assertEqual((attr.Type, attr.Value, attr.Valid), (3, "My key", True))
        with self.assertRaises(ComError):  # a string is no boolean: the attribute stays as it was
            vantorcom.put(attr, "ValueSafe", constants.eCKA_TOKEN, "yes")
        self.assertEqual((attr.Type, attr.Value), (3, "My key"))
        with self.assertRaises(TypeError):
            vantorcom.put(attr, "ValueSafe")

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

    def test_by_reference_values_and_byte_arrays_with_bounds(self):
        ct = vantorcom.ctypes
        number = ct.c_int32(-7)
        inner = vantorcom.to_variant("inner")
        outer = vantorcom.VARIANT()
        try:
            for vt, target, expected in ((vantorcom.VT_I4, ct.addressof(number), -7),
                                         (vantorcom.VT_VARIANT, ct.addressof(inner), "inner"),
                                         (vantorcom.VT_I4, None, None)):
                outer.vt = vt | vantorcom.VT_BYREF
                outer.v.ptr = target
                self.assertEqual(vantorcom.from_variant(outer), expected)
        finally:
            vantorcom._VariantClear(ct.byref(inner))
        # A byte vector from lower bound 5 is still bytes; a byte matrix is nested numbers.
        for bounds, expected in (([(3, 5)], b"\x05\x06\x07"), ([(0, 0)], b""),
                                 ([(2, 0), (1, 0)], ((0,), (1,)))):
            made = (vantorcom.SAFEARRAYBOUND * len(bounds))(
                *(vantorcom.SAFEARRAYBOUND(n, lo) for n, lo in bounds))
            psa = vantorcom._SafeArrayCreate(vantorcom.VT_UI1, len(bounds), made)
            index = (vantorcom.LONG * len(bounds))()
            for i in range(bounds[0][0]):
                index[0] = bounds[0][1] + i
                cell = ct.c_ubyte(index[0])
                self.assertEqual(vantorcom._SafeArrayPutElement(psa, index, ct.addressof(cell)), 0)
            v = vantorcom.VARIANT()
            v.vt = vantorcom.VT_ARRAY | vantorcom.VT_UI1
            v.v.ptr = psa
            try:
                self.assertEqual(vantorcom.from_variant(v), expected)
            finally:
                vantorcom._VariantClear(ct.byref(v))
        # Values without a Python form, or outside its range, are refused, not guessed.
        odd = vantorcom.VARIANT()
        odd.vt = vantorcom.VT_DECIMAL
        with self.assertRaises(TypeError):
            vantorcom.from_variant(odd)
        odd.vt, odd.v.dblVal = vantorcom.VT_DATE, 1e300
        with self.assertRaises(ValueError):
            vantorcom.from_variant(odd)

    def test_arrays_at_the_ends_of_the_bound_range_keep_their_count(self):
        # An empty dimension at the smallest lower bound reports the largest upper bound; the
        # count is the stored one, so nothing reads 2**32 cells that do not exist.
        ct = vantorcom.ctypes
        low, high = -2**31, 2**31 - 1
        for vt, bounds, expected in (
                (vantorcom.VT_UI1, [(0, low)], b""),
                (vantorcom.VT_UI1, [(2, low)], b"\x00\x00"),
                (vantorcom.VT_UI1, [(0, high)], b""),
                (vantorcom.VT_UI1, [(3, high)], b"\x00\x00\x00"),
                (vantorcom.VT_I4, [(0, low)], ()),
                (vantorcom.VT_I4, [(2, high)], (0, 0)),
                (vantorcom.VT_I4, [(2, low), (0, low)], ((), ())),
                (vantorcom.VT_VARIANT, [(1, high), (2, high)], ((None, None),))):
            with self.subTest(vt=vt, bounds=bounds):
                made = (vantorcom.SAFEARRAYBOUND * len(bounds))(
                    *(vantorcom.SAFEARRAYBOUND(n, lo) for n, lo in bounds))
                psa = vantorcom._SafeArrayCreate(vt, len(bounds), made)
                self.assertTrue(psa)
                v = vantorcom.VARIANT()
                v.vt = vantorcom.VT_ARRAY | vt
                v.v.ptr = psa
                try:
                    self.assertEqual(vantorcom.from_variant(v), expected)
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

    def test_numbers_and_byte_buffers_at_their_limits(self):
        for value in (2**64 - 1, -2**31, 2**32 - 1, 2**32, 2**63 - 1):
            self.assertEqual(self.roundtrip(value), value)
        for value in (2**64, -2**63 - 1):
            with self.assertRaises(OverflowError):
                vantorcom.to_variant(value)
        self.assertEqual(self.roundtrip(bytearray(b"\x01\x02")), b"\x01\x02")
        self.assertEqual(self.roundtrip(memoryview(b"abcdef")[::2]), b"ace")
        # Unpaired surrogates travel as the UTF-16 units they are.
        self.assertEqual(self.roundtrip("\ud800x\udfff"), "\ud800x\udfff")
        self.assertEqual(self.roundtrip(datetime.date(1999, 1, 2)), datetime.datetime(1999, 1, 2))
        # Only a whole VARIANT is written or read, never a smaller ctypes object.
        with self.assertRaises(TypeError):
            vantorcom.to_variant("a text", ctypes.c_int32())
        with self.assertRaises(TypeError):
            vantorcom.from_variant(ctypes.c_int32())

    def test_a_list_that_contains_itself_is_refused(self):
        loop = [1]
        loop.append(loop)
        with self.assertRaises(RecursionError):
            vantorcom.to_variant(loop)
        deep = []
        for _ in range(50):
            deep = [deep]
        self.assertIsInstance(self.roundtrip(deep), tuple)


class ObjectLifetime(unittest.TestCase):
    def test_references_return_to_where_they_started(self):
        attr = Dispatch("Pavlox.P11Attribute")
        util = Dispatch("Pavlox.Util")
        start = references(attr)
        attr.Type = constants.eCKA_LABEL
        self.assertEqual(attr.Type, constants.eCKA_LABEL)
        self.assertEqual(attr.TYPE, constants.eCKA_LABEL)
        self.assertTrue(repr(util.ArrayToString).startswith("<member ArrayToString"))
        self.assertEqual(util.ArrayToString(b"\x0a\x0b", True), "0A0B")
        # A wrapper made from a VARIANT holds its own reference until it goes.
        # Objects inside an array come back as wrappers of their own.
        array = vantorcom.to_variant([attr, attr])
        pair = vantorcom.from_variant(array)
        vantorcom._VariantClear(ctypes.byref(array))
        self.assertEqual([p.Type for p in pair], [constants.eCKA_LABEL] * 2)
        self.assertEqual(references(attr), start + 2)
        del pair
        v = vantorcom.to_variant(attr)
        self.assertEqual(references(attr), start + 1)
        twin = vantorcom.from_variant(v)
        self.assertEqual(twin.Type, constants.eCKA_LABEL)
        self.assertEqual(references(attr), start + 2)
        vantorcom._VariantClear(ctypes.byref(v))
        del twin
        # Arguments refused by the server or by the conversion are let go as well, including
        # the cells of an array that was half filled when a later element failed.
        with self.assertRaises(ComError):
            util.ArrayToString(attr)
        with self.assertRaises(TypeError):
            util.ArrayToString([attr, attr, object()])
        with self.assertRaises(AttributeError):
            attr.ValueSafe  # write-only
        self.assertEqual(references(attr), start)

    def test_threads_call_one_object_at_once(self):
        attr = Dispatch("Pavlox.P11Attribute")
        attr.Type = constants.eCKA_VALUE
        failures = []

        def reader():
            try:
                for i in range(300):
                    if attr.Type != constants.eCKA_VALUE:
                        failures.append("Type changed")
                    mine = Dispatch("Pavlox.P11Attribute")
                    mine.Type = i
                    if mine.Type != i:
                        failures.append("own put lost")
            except Exception as e:  # reported below, not lost with the thread
                failures.append(repr(e))

        threads = [threading.Thread(target=reader) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.assertEqual(failures, [])


class TokenObjects(unittest.TestCase):
    """A collection with items and the objects it hands out, over SoftHSM2 on the token bench
    (read only)."""

    @classmethod
    def setUpClass(cls):
        if not os.path.exists(STATE):
            raise unittest.SkipTest("token bench not prepared (no state file at %r)" % STATE)
        with open(STATE) as f:
            bench = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        os.environ["SOFTHSM2_CONF"] = bench["conf"]
        cls.module = bench["module"]

    def test_collections_iterate_and_their_items_outlive_them(self):
        lib = Dispatch("Pavlox.Pkcs11Lib")
        lib.Load(self.module)
        try:
            slots = lib.SlotList(False)
            self.assertGreaterEqual(len(slots), 2)
            listed = list(slots)
            self.assertEqual(listed, [slots.Item(i) for i in range(1, len(slots) + 1)])
            self.assertEqual(slots[1], listed[0])
            start = references(slots)
            # A loop left half way drops its enumerator with the iterator.
            it = iter(slots)
            next(it)
            del it
            self.assertEqual(references(slots), start)
            # The enumerator is a member of its own, reached by name like any other.
            self.assertEqual(list(slots._NewEnum), listed)
            # Missing travels as an omitted argument, which this member refuses.
            for args in ((vantorcom.Missing,), ()):
                with self.assertRaises(ComError) as e:
                    lib.SlotList(*args)
                self.assertEqual(e.exception.hresult, E_INVALIDARG)
            # A failed module call carries the folded PKCS#11 code, as a script checks it.
            with self.assertRaises(ComError) as e:
                lib.TokenInfo(max(listed) + 1000)
            self.assertEqual(e.exception.hresult, constants.eCKR_SLOT_ID_INVALID)
            infos = [lib.TokenInfo(slot) for slot in slots]
            self.assertEqual(references(slots), start)
            del slots
            labels = [info.Label for info in infos]
            self.assertTrue(any(labels), labels)
            for info in infos:
                self.assertEqual(references(info), 1, "only the script holds a token info")
        finally:
            lib.Unload()


if __name__ == "__main__":
    unittest.main()
