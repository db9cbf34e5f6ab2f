#!/usr/bin/python3
"""Imports a PKCS#12 file onto a token through Pavlox and signs with the imported key: logs the
user in, writes the file's RSA key and certificate as a private key and a certificate sharing
ID and LABEL, then signs the SHA-256 DigestInfo of MESSAGE with that key. The signature
(PKCS#1 v1.5) goes to a file, ready for:
    openssl pkeyutl -verify -certin -inkey CERT -in DIGESTINFO -sigfile FILE

usage: import_demo.py MODULE SLOT USER_PIN P12_FILE P12_PASSWORD ID LABEL MESSAGE SIGNATURE_FILE
"""
import hashlib
import sys

import vantorcom
from vantorcom import ComError, Dispatch, constants

SHA256_PREFIX = bytes.fromhex("3031300d060960864801650304020105000420")


def attribute(attribute_type, value):
    attr = Dispatch("Pavlox.P11Attribute")
    vantorcom.put(attr, "ValueSafe", attribute_type, value)
    return attr


module, slot, pin, p12_file, password, cka_id, label, message, out = sys.argv[1:10]

lib = Dispatch("Pavlox.Pkcs11Lib")
lib.Load(module)
session = lib.OpenSession(int(slot))
session.Login(pin, False)
try:
    # The ID is stored as the bytes of its text: "01AB" becomes 30 31 41 42.
    session.ImportP12File(cka_id, label, p12_file, password)
except ComError as e:
    names = {constants.eCKR_EX_FILE_NOT_FOUND: "file not found",
             constants.eCKR_EX_FILE_INVALID: "not a usable PKCS#12 file or wrong password"}
    sys.exit("import failed: 0x%08X (%s)" % (e.hresult & 0xFFFFFFFF,
                                             names.get(e.hresult, "token error")))
print("imported %s as %r" % (p12_file, label))

keys = list(session.FindObjects([attribute(constants.eCKA_CLASS, constants.eCKO_PRIVATE_KEY),
                                 attribute(constants.eCKA_ID, cka_id.encode())]))
digest_info = SHA256_PREFIX + hashlib.sha256(message.encode()).digest()
signature = bytes(keys[0].Sign(digest_info))
with open(out, "wb") as f:
    f.write(signature)
print("signed with the imported key: %d bytes" % len(signature))
session.Logout()
session.Close()
