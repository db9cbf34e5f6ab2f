#!/usr/bin/python3
"""Drives a PKCS#11 module through Pavlox.Pkcs11Lib: lists the slots and their tokens, then
initializes the token in one slot with a new label.

usage: token_demo.py MODULE SLOT SO_PIN LABEL
"""
import sys

from vantorcom import Dispatch

module, slot, so_pin, label = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]

lib = Dispatch("Pavlox.Pkcs11Lib")
lib.Load(module)
for slot_id in lib.SlotList(False):
    token = lib.TokenInfo(slot_id)
    print("slot %d: %r %s %s serial %r flags 0x%x" % (
        slot_id, token.Label, token.ManufacturerID, token.Model, token.SerialNumber,
        token.Flags))
lib.InitToken(slot, so_pin, label)
print("slot %d now holds %r" % (slot, lib.TokenInfo(slot).Label))
