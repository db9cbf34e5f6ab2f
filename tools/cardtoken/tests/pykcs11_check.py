#!/usr/bin/python3
"""PyKCS11 as a second outside client of cardtoken.so: lists the slots with their token serials,
then signs with one key (SHA256-RSA-PKCS) and prints the signature in hex.
Usage: pykcs11_check.py MODULE SLOT KEY_ID_HEX PIN"""
import sys

import PyKCS11


def main():
    module, slot, key_id, pin = sys.argv[1], int(sys.argv[2]), bytes.fromhex(sys.argv[3]), sys.argv[4]
    lib = PyKCS11.PyKCS11Lib()
    lib.load(module)
    for s in lib.getSlotList(tokenPresent=False):
        info = lib.getSlotInfo(s)
        present = bool(info.flags & PyKCS11.CKF_TOKEN_PRESENT)
        serial = lib.getTokenInfo(s).serialNumber.strip() if present else "-"
        print("slot %d %s %s %s" % (s, info.slotDescription.strip(),
                                    "present" if present else "empty", serial))
    session = lib.openSession(slot, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
    session.login(pin)
    keys = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY),
                                (PyKCS11.CKA_ID, key_id)])
    if len(keys) != 1:
        print("expected one key with id %s, found %d" % (sys.argv[3], len(keys)))
        return 1
    data = b"signed through PyKCS11"
    signature = bytes(session.sign(keys[0], data, PyKCS11.Mechanism(PyKCS11.CKM_SHA256_RSA_PKCS)))
    print("signature " + signature.hex())
    session.logout()
    session.closeSession()
    return 0


if __name__ == "__main__":
    sys.exit(main())
