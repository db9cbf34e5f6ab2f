#!/usr/bin/python3
"""The demo's PKCS#12 import through Pavlox.Pkcs11Lib: logs the user in on the token in SLOT,
imports the file's key and certificate with ID and LABEL (P11Session.ImportP12File), then reads
back what the token holds under that ID. Prints one line.

usage: import_p12.py MODULE SLOT USER_PIN P12_FILE P12_PASSWORD ID LABEL
"""
import sys

import vantorcom
from vantorcom import ComError, Dispatch, constants


def attribute(attribute_type, value):
    attr = Dispatch("Pavlox.P11Attribute")
    vantorcom.put(attr, "ValueSafe", attribute_type, value)
    return attr


def main():
    module, slot, pin, p12_file, password, cka_id, label = sys.argv[1:8]
    slot = int(slot)
    lib = Dispatch("Pavlox.Pkcs11Lib")
    lib.Load(module)
    token = lib.TokenInfo(slot).Label.rstrip()
    session = lib.OpenSession(slot)
    session.Login(pin, False)
    try:
        session.ImportP12File(cka_id, label, p12_file, password)
    except ComError as e:
        names = {constants.eCKR_EX_FILE_NOT_FOUND: "file not found",
                 constants.eCKR_EX_FILE_INVALID: "not a usable PKCS#12 file or wrong password"}
        sys.exit("ImportP12File failed: 0x%08X (%s)" % (e.hresult & 0xFFFFFFFF,
                                                         names.get(e.hresult, "token error")))
    # The ID is stored as the bytes of its text.
    found = {}
    for cls, name in ((constants.eCKO_PRIVATE_KEY, "private key"),
                      (constants.eCKO_CERTIFICATE, "certificate")):
        objects = list(session.FindObjects([attribute(constants.eCKA_CLASS, cls),
                                            attribute(constants.eCKA_ID, cka_id.encode())]))
        found[name] = len(objects)
    session.Logout()
    session.Close()
    if found != {"private key": 1, "certificate": 1}:
        sys.exit("after the import the token holds %r under ID %s" % (found, cka_id))
    print("%r (slot %d) now holds a private key and a certificate with ID %s, label %r" %
          (token, slot, cka_id, label))


main()
