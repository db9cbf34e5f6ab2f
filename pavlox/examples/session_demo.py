#!/usr/bin/python3
"""Works with a token through Pavlox: opens a session, logs the user in, lists the certificates
with their labels and IDs, changes the user PIN, and signs the SHA-256 DigestInfo of a message
with the private key that shares the first certificate's ID. The signature (PKCS#1 v1.5) goes to
a file, ready for: openssl pkeyutl -verify -pubin -inkey KEY -in DIGESTINFO -sigfile FILE

usage: session_demo.py MODULE SLOT USER_PIN NEW_PIN MESSAGE SIGNATURE_FILE
"""
import hashlib
import sys

import vantorcom
from vantorcom import Dispatch, constants

# The DER prefix of a DigestInfo for SHA-256; the token signs what it is given, so the client
# hashes and wraps.
SHA256_PREFIX = bytes.fromhex("3031300d060960864801650304020105000420")


def attribute(attribute_type, value):
    """A new P11Attribute set as a script host writes attr.ValueSafe(attribute_type) = value."""
    attr = Dispatch("Pavlox.P11Attribute")
    vantorcom.put(attr, "ValueSafe", attribute_type, value)
    return attr


module, slot, pin, new_pin, message, out = sys.argv[1:7]

lib = Dispatch("Pavlox.Pkcs11Lib")
lib.Load(module)
session = lib.OpenSession(int(slot))
session.Login(pin, False)
print("logged in:", session.Logged)

ids = []
for cert in session.FindObjects([attribute(constants.eCKA_CLASS, constants.eCKO_CERTIFICATE)]):
    label, cka_id = cert.GetAttributeValue([constants.eCKA_LABEL, constants.eCKA_ID], False)
    print("certificate %r id %s" % (label.Value, cka_id.ValueStr))
    ids.append(cka_id)

session.SetPIN(pin, new_pin)
print("user PIN changed")

# An attribute read from the token serves as a search template as it is.
keys = list(session.FindObjects([attribute(constants.eCKA_CLASS, constants.eCKO_PRIVATE_KEY),
                                 ids[0]]))
digest_info = SHA256_PREFIX + hashlib.sha256(message.encode()).digest()
signature = bytes(keys[0].Sign(digest_info))
with open(out, "wb") as f:
    f.write(signature)
print("signed %d bytes into %d" % (len(digest_info), len(signature)))

session.Logout()
session.Close()
