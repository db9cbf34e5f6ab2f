// Members, DISPIDs, parameter types and published enumerations of the type library "Pavlox".
#include "typelib_tables.h"

#include <iterator>

#include "frame/module.h"
#include "pavlox_interfaces.h"

namespace pavlox {

namespace {

using vantor::ole::ConstInfo;
using vantor::ole::invokerOf;
using vantor::ole::MemberInfo;
using vantor::ole::ParamInfo;
using vantor::ole::TypeTable;

constexpr USHORT kIn = PARAMFLAG_FIN;
constexpr USHORT kOpt = PARAMFLAG_FIN | PARAMFLAG_FOPT;
constexpr WORD kDual = TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FOLEAUTOMATION;

#define PARAMS(array) array, static_cast<SHORT>(std::size(array))
#define NO_PARAMS nullptr, 0
#define GET INVOKE_PROPERTYGET
#define PUT INVOKE_PROPERTYPUT
#define FUNC INVOKE_FUNC

// IP11Attribute
const ParamInfo kNewValVariant[] = {{u"newVal", VT_VARIANT, kIn}};
const ParamInfo kNewValLong[] = {{u"newVal", VT_I4, kIn}};
const ParamInfo kValueSafe[] = {{u"AttributeType", VT_I4, kIn}, {u"newVal", VT_VARIANT, kIn}};
const MemberInfo kAttributeMembers[] = {
    {1, GET, u"ValueRaw", NO_PARAMS, VT_VARIANT, 7,
     invokerOf<&IP11Attribute::get_ValueRaw, true>()},
    {1, PUT, u"ValueRaw", PARAMS(kNewValVariant), VT_EMPTY, 8,
     invokerOf<&IP11Attribute::put_ValueRaw, false>()},
    {2, GET, u"Type", NO_PARAMS, VT_I4, 9, invokerOf<&IP11Attribute::get_Type, true>()},
    {2, PUT, u"Type", PARAMS(kNewValLong), VT_EMPTY, 10,
     invokerOf<&IP11Attribute::put_Type, false>()},
    {3, PUT, u"ValueSafe", PARAMS(kValueSafe), VT_EMPTY, 11,
     invokerOf<&IP11Attribute::put_ValueSafe, false>()},
    {4, GET, u"Value", NO_PARAMS, VT_VARIANT, 12, invokerOf<&IP11Attribute::get_Value, true>()},
    {DISPID_VALUE, GET, u"ValueStr", NO_PARAMS, VT_BSTR, 13,
     invokerOf<&IP11Attribute::get_ValueStr, true>()},
    {6, GET, u"Valid", NO_PARAMS, VT_BOOL, 14, invokerOf<&IP11Attribute::get_Valid, true>()},
};

// IVariantCollection
const ParamInfo kIndex[] = {{u"Index", VT_I4, kIn}};
const MemberInfo kCollectionMembers[] = {
    {DISPID_NEWENUM, GET, u"_NewEnum", NO_PARAMS, VT_UNKNOWN, 7,
     invokerOf<&IVariantCollection::get__NewEnum, true>()},
    {DISPID_VALUE, GET, u"Item", PARAMS(kIndex), VT_VARIANT, 8,
     invokerOf<&IVariantCollection::get_Item, true>()},
    {1, GET, u"Count", NO_PARAMS, VT_I4, 9, invokerOf<&IVariantCollection::get_Count, true>()},
};

// IPkcs11Lib
const ParamInfo kLoad[] = {{u"P11Lib", VT_BSTR, kIn}};
const ParamInfo kSlotList[] = {{u"TokenPresent", VT_VARIANT, kOpt}};
const ParamInfo kSlot[] = {{u"Slot", VT_I4, kIn}};
const ParamInfo kInitToken[] = {
    {u"SlotID", VT_I4, kIn}, {u"Pin", VT_BSTR, kIn}, {u"TokenLabel", VT_BSTR, kIn}};
const ParamInfo kSlotId[] = {{u"SlotID", VT_I4, kIn}};
const MemberInfo kLibMembers[] = {
    {1, FUNC, u"Load", PARAMS(kLoad), VT_EMPTY, 7, invokerOf<&IPkcs11Lib::Load, false>()},
    {2, FUNC, u"Unload", NO_PARAMS, VT_EMPTY, 8, invokerOf<&IPkcs11Lib::Unload, false>()},
    {3, FUNC, u"Initialize", NO_PARAMS, VT_EMPTY, 9, invokerOf<&IPkcs11Lib::Initialize, false>()},
    {4, GET, u"Initialized", NO_PARAMS, VT_BOOL, 10,
     invokerOf<&IPkcs11Lib::get_Initialized, true>()},
    {5, GET, u"SlotList", PARAMS(kSlotList), VT_VARIANT, 11,
     invokerOf<&IPkcs11Lib::get_SlotList, true>()},
    {6, FUNC, u"OpenSession", PARAMS(kSlot), VT_VARIANT, 12,
     invokerOf<&IPkcs11Lib::OpenSession, true>()},
    {7, FUNC, u"InitToken", PARAMS(kInitToken), VT_EMPTY, 13,
     invokerOf<&IPkcs11Lib::InitToken, false>()},
    {8, GET, u"TokenValid", PARAMS(kSlotId), VT_BOOL, 14,
     invokerOf<&IPkcs11Lib::get_TokenValid, true>()},
    {9, GET, u"TokenPresent", PARAMS(kSlotId), VT_BOOL, 15,
     invokerOf<&IPkcs11Lib::get_TokenPresent, true>()},
    {10, GET, u"TokenInfo", PARAMS(kSlotId), VT_VARIANT, 16,
     invokerOf<&IPkcs11Lib::get_TokenInfo, true>()},
};

// IP11Object
const ParamInfo kGetAttributes[] = {{u"WantedAttributes", VT_VARIANT, kIn},
                                    {u"StopOnAttributeNotFound", VT_BOOL, kIn}};
const ParamInfo kSetAttributes[] = {{u"NewAttributes", VT_VARIANT, kIn}};
const ParamInfo kSign[] = {{u"DataToSign", VT_VARIANT, kIn}};
const MemberInfo kObjectMembers[] = {
    {1, FUNC, u"GetAttributeValue", PARAMS(kGetAttributes), VT_VARIANT, 7,
     invokerOf<&IP11Object::GetAttributeValue, true>()},
    {2, FUNC, u"SetAttributeValue", PARAMS(kSetAttributes), VT_EMPTY, 8,
     invokerOf<&IP11Object::SetAttributeValue, false>()},
    {3, GET, u"Valid", NO_PARAMS, VT_BOOL, 9, invokerOf<&IP11Object::get_Valid, true>()},
    {4, FUNC, u"Sign", PARAMS(kSign), VT_VARIANT, 10, invokerOf<&IP11Object::Sign, true>()},
};

// IP11Session
const ParamInfo kLogin[] = {{u"Pin", VT_BSTR, kIn}, {u"LoginAsSO", VT_BOOL, kIn}};
const ParamInfo kFind[] = {{u"SearchParams", VT_VARIANT, kIn}};
const ParamInfo kSetPin[] = {{u"OldPin", VT_BSTR, kIn}, {u"NewPin", VT_BSTR, kIn}};
const ParamInfo kInitPin[] = {{u"NewPin", VT_BSTR, kIn}};
const ParamInfo kImport[] = {{u"strCKA_ID", VT_BSTR, kIn},
                             {u"strCKA_LABEL", VT_BSTR, kIn},
                             {u"P12FilePath", VT_BSTR, kIn},
                             {u"P12FilePassword", VT_BSTR, kIn}};
const MemberInfo kSessionMembers[] = {
    {1, GET, u"Valid", NO_PARAMS, VT_BOOL, 7, invokerOf<&IP11Session::get_Valid, true>()},
    {2, FUNC, u"Close", NO_PARAMS, VT_EMPTY, 8, invokerOf<&IP11Session::Close, false>()},
    {3, GET, u"Logged", NO_PARAMS, VT_BOOL, 9, invokerOf<&IP11Session::get_Logged, true>()},
    {4, FUNC, u"Login", PARAMS(kLogin), VT_EMPTY, 10, invokerOf<&IP11Session::Login, false>()},
    {5, FUNC, u"Logout", NO_PARAMS, VT_EMPTY, 11, invokerOf<&IP11Session::Logout, false>()},
    {6, FUNC, u"FindObjects", PARAMS(kFind), VT_VARIANT, 12,
     invokerOf<&IP11Session::FindObjects, true>()},
    {7, FUNC, u"SetPIN", PARAMS(kSetPin), VT_EMPTY, 13, invokerOf<&IP11Session::SetPIN, false>()},
    {8, FUNC, u"InitPIN", PARAMS(kInitPin), VT_EMPTY, 14,
     invokerOf<&IP11Session::InitPIN, false>()},
    {9, FUNC, u"ImportP12File", PARAMS(kImport), VT_EMPTY, 15,
     invokerOf<&IP11Session::ImportP12File, false>()},
};

// ITokenInfo
const MemberInfo kTokenInfoMembers[] = {
    {1, GET, u"Label", NO_PARAMS, VT_BSTR, 7, invokerOf<&ITokenInfo::get_Label, true>()},
    {2, GET, u"ManufacturerID", NO_PARAMS, VT_BSTR, 8,
     invokerOf<&ITokenInfo::get_ManufacturerID, true>()},
    {3, GET, u"Model", NO_PARAMS, VT_BSTR, 9, invokerOf<&ITokenInfo::get_Model, true>()},
    {4, GET, u"SerialNumber", NO_PARAMS, VT_BSTR, 10,
     invokerOf<&ITokenInfo::get_SerialNumber, true>()},
    {5, GET, u"Flags", NO_PARAMS, VT_I4, 11, invokerOf<&ITokenInfo::get_Flags, true>()},
};

// IUtil
const ParamInfo kArrayToString[] = {{u"Val", VT_VARIANT, kIn}, {u"ConvertToHex", VT_VARIANT, kOpt}};
const MemberInfo kUtilMembers[] = {
    {1, FUNC, u"ArrayToString", PARAMS(kArrayToString), VT_VARIANT, 7,
     invokerOf<&IUtil::ArrayToString, true>()},
};

// ---- Published enumerations ----------------------------------------------------------------

// Return values: 0x80400000 plus the PKCS#11 v2.11 CKR_ value of the same name.
#define RV(name, value) \
    { u"eCKR_" #name, static_cast<LONG>(0x80400000u + (value)) }
const ConstInfo kReturnValues[] = {
    RV(OK, 0x0),
    RV(CANCEL, 0x1),
    RV(HOST_MEMORY, 0x2),
    RV(SLOT_ID_INVALID, 0x3),
    RV(GENERAL_ERROR, 0x5),
    RV(FUNCTION_FAILED, 0x6),
    RV(ARGUMENTS_BAD, 0x7),
    RV(NO_EVENT, 0x8),
    RV(NEED_TO_CREATE_THREADS, 0x9),
    RV(CANT_LOCK, 0xA),
    RV(ATTRIBUTE_READ_ONLY, 0x10),
    RV(ATTRIBUTE_SENSITIVE, 0x11),
    RV(ATTRIBUTE_TYPE_INVALID, 0x12),
    RV(ATTRIBUTE_VALUE_INVALID, 0x13),
    RV(DATA_INVALID, 0x20),
    RV(DATA_LEN_RANGE, 0x21),
    RV(DEVICE_ERROR, 0x30),
    RV(DEVICE_MEMORY, 0x31),
    RV(DEVICE_REMOVED, 0x32),
    RV(ENCRYPTED_DATA_INVALID, 0x40),
    RV(ENCRYPTED_DATA_LEN_RANGE, 0x41),
    RV(FUNCTION_CANCELED, 0x50),
    RV(FUNCTION_NOT_PARALLEL, 0x51),
    RV(FUNCTION_NOT_SUPPORTED, 0x54),
    RV(KEY_HANDLE_INVALID, 0x60),
    RV(KEY_SIZE_RANGE, 0x62),
    RV(KEY_TYPE_INCONSISTENT, 0x63),
    RV(KEY_NOT_NEEDED, 0x64),
    RV(KEY_CHANGED, 0x65),
    RV(KEY_NEEDED, 0x66),
    RV(KEY_INDIGESTIBLE, 0x67),
    RV(KEY_FUNCTION_NOT_PERMITTED, 0x68),
    RV(KEY_NOT_WRAPPABLE, 0x69),
    RV(KEY_UNEXTRACTABLE, 0x6A),
    RV(MECHANISM_INVALID, 0x70),
    RV(MECHANISM_PARAM_INVALID, 0x71),
    RV(OBJECT_HANDLE_INVALID, 0x82),
    RV(OPERATION_ACTIVE, 0x90),
    RV(OPERATION_NOT_INITIALIZED, 0x91),
    RV(PIN_INCORRECT, 0xA0),
    RV(PIN_INVALID, 0xA1),
    RV(PIN_LEN_RANGE, 0xA2),
    RV(PIN_EXPIRED, 0xA3),
    RV(PIN_LOCKED, 0xA4),
    RV(SESSION_CLOSED, 0xB0),
    RV(SESSION_COUNT, 0xB1),
    RV(SESSION_HANDLE_INVALID, 0xB3),
    RV(SESSION_PARALLEL_NOT_SUPPORTED, 0xB4),
    RV(SESSION_READ_ONLY, 0xB5),
    RV(SESSION_EXISTS, 0xB6),
    RV(SESSION_READ_ONLY_EXISTS, 0xB7),
    RV(SESSION_READ_WRITE_SO_EXISTS, 0xB8),
    RV(SIGNATURE_INVALID, 0xC0),
    RV(SIGNATURE_LEN_RANGE, 0xC1),
    RV(TEMPLATE_INCOMPLETE, 0xD0),
    RV(TEMPLATE_INCONSISTENT, 0xD1),
    RV(TOKEN_NOT_PRESENT, 0xE0),
    RV(TOKEN_NOT_RECOGNIZED, 0xE1),
    RV(TOKEN_WRITE_PROTECTED, 0xE2),
    RV(UNWRAPPING_KEY_HANDLE_INVALID, 0xF0),
    RV(UNWRAPPING_KEY_SIZE_RANGE, 0xF1),
    RV(UNWRAPPING_KEY_TYPE_INCONSISTENT, 0xF2),
    RV(USER_ALREADY_LOGGED_IN, 0x100),
    RV(USER_NOT_LOGGED_IN, 0x101),
    RV(USER_PIN_NOT_INITIALIZED, 0x102),
    RV(USER_TYPE_INVALID, 0x103),
    RV(USER_ANOTHER_ALREADY_LOGGED_IN, 0x104),
    RV(USER_TOO_MANY_TYPES, 0x105),
    RV(WRAPPED_KEY_INVALID, 0x110),
    RV(WRAPPED_KEY_LEN_RANGE, 0x112),
    RV(WRAPPING_KEY_HANDLE_INVALID, 0x113),
    RV(WRAPPING_KEY_SIZE_RANGE, 0x114),
    RV(WRAPPING_KEY_TYPE_INCONSISTENT, 0x115),
    RV(RANDOM_SEED_NOT_SUPPORTED, 0x120),
    RV(RANDOM_NO_RNG, 0x121),
    RV(DOMAIN_PARAMS_INVALID, 0x130),
    RV(BUFFER_TOO_SMALL, 0x150),
    RV(SAVED_STATE_INVALID, 0x160),
    RV(INFORMATION_SENSITIVE, 0x170),
    RV(STATE_UNSAVEABLE, 0x180),
    RV(CRYPTOKI_NOT_INITIALIZED, 0x190),
    RV(CRYPTOKI_ALREADY_INITIALIZED, 0x191),
    RV(MUTEX_BAD, 0x1A0),
    RV(MUTEX_NOT_LOCKED, 0x1A1),
    // The import's file errors follow another rule: 0x80200000 plus a Windows error number.
    {u"eCKR_EX_FILE_NOT_FOUND", static_cast<LONG>(0x80200002u)},
    {u"eCKR_EX_FILE_INVALID", static_cast<LONG>(0x802003EEu)},
    {u"eCKR_EX_INVALID_PASSWORD", static_cast<LONG>(0x80200056u)},
};
#undef RV

#define C(prefix, name, value) \
    { u"e" #prefix "_" #name, static_cast<LONG>(value##u) }
const ConstInfo kTokenFlags[] = {
    C(CKF, RNG, 0x1),
    C(CKF, WRITE_PROTECTED, 0x2),
    C(CKF, LOGIN_REQUIRED, 0x4),
    C(CKF, USER_PIN_INITIALIZED, 0x8),
    C(CKF, RESTORE_KEY_NOT_NEEDED, 0x20),
    C(CKF, CLOCK_ON_TOKEN, 0x40),
    C(CKF, PROTECTED_AUTHENTICATION_PATH, 0x100),
    C(CKF, DUAL_CRYPTO_OPERATIONS, 0x200),
    C(CKF, TOKEN_INITIALIZED, 0x400),
    C(CKF, USER_PIN_COUNT_LOW, 0x10000),
    C(CKF, USER_PIN_FINAL_TRY, 0x20000),
    C(CKF, USER_PIN_LOCKED, 0x40000),
    C(CKF, USER_PIN_TO_BE_CHANGED, 0x80000),
    C(CKF, SO_PIN_COUNT_LOW, 0x100000),
    C(CKF, SO_PIN_FINAL_TRY, 0x200000),
    C(CKF, SO_PIN_LOCKED, 0x400000),
    C(CKF, SO_PIN_TO_BE_CHANGED, 0x800000),
};
const ConstInfo kSlotFlags[] = {C(CKF, TOKEN_PRESENT, 0x1), C(CKF, REMOVABLE_DEVICE, 0x2),
                                C(CKF, HW_SLOT, 0x4)};
const ConstInfo kMechanismFlags[] = {
    C(CKF, HW, 0x1),
    C(CKF, ENCRYPT, 0x100),
    C(CKF, DECRYPT, 0x200),
    C(CKF, DIGEST, 0x400),
    C(CKF, SIGN, 0x800),
    C(CKF, SIGN_RECOVER, 0x1000),
    C(CKF, VERIFY, 0x2000),
    C(CKF, VERIFY_RECOVER, 0x4000),
    C(CKF, GENERATE, 0x8000),
    C(CKF, GENERATE_KEY_PAIR, 0x10000),
    C(CKF, WRAP, 0x20000),
    C(CKF, UNWRAP, 0x40000),
    C(CKF, DERIVE, 0x80000),
    C(CKF, EC_F_P, 0x100000),
    C(CKF, EC_F_2M, 0x200000),
    C(CKF, EC_ECPARAMETERS, 0x400000),
    C(CKF, EC_NAMEDCURVE, 0x800000),
    C(CKF, EC_UNCOMPRESS, 0x1000000),
    C(CKF, EC_COMPRESS, 0x2000000),
    C(CKF, EXTENSION, 0x80000000),
};
const ConstInfo kSessionFlags[] = {C(CKF, RW_SESSION, 0x2), C(CKF, SERIAL_SESSION, 0x4)};
const ConstInfo kAttributes[] = {
    C(CKA, CLASS, 0x0),
    C(CKA, TOKEN, 0x1),
    C(CKA, PRIVATE, 0x2),
    C(CKA, LABEL, 0x3),
    C(CKA, APPLICATION, 0x10),
    C(CKA, VALUE, 0x11),
    C(CKA, OBJECT_ID, 0x12),
    C(CKA, CERTIFICATE_TYPE, 0x80),
    C(CKA, ISSUER, 0x81),
    C(CKA, SERIAL_NUMBER, 0x82),
    C(CKA, AC_ISSUER, 0x83),
    C(CKA, OWNER, 0x84),
    C(CKA, ATTR_TYPES, 0x85),
    C(CKA, TRUSTED, 0x86),
    C(CKA, KEY_TYPE, 0x100),
    C(CKA, SUBJECT, 0x101),
    C(CKA, ID, 0x102),
    C(CKA, SENSITIVE, 0x103),
    C(CKA, ENCRYPT, 0x104),
    C(CKA, DECRYPT, 0x105),
    C(CKA, WRAP, 0x106),
    C(CKA, UNWRAP, 0x107),
    C(CKA, SIGN, 0x108),
    C(CKA, SIGN_RECOVER, 0x109),
    C(CKA, VERIFY, 0x10A),
    C(CKA, VERIFY_RECOVER, 0x10B),
    C(CKA, DERIVE, 0x10C),
    C(CKA, START_DATE, 0x110),
    C(CKA, END_DATE, 0x111),
    C(CKA, MODULUS, 0x120),
    C(CKA, MODULUS_BITS, 0x121),
    C(CKA, PUBLIC_EXPONENT, 0x122),
    C(CKA, PRIVATE_EXPONENT, 0x123),
    C(CKA, PRIME_1, 0x124),
    C(CKA, PRIME_2, 0x125),
    C(CKA, EXPONENT_1, 0x126),
    C(CKA, EXPONENT_2, 0x127),
    C(CKA, COEFFICIENT, 0x128),
    C(CKA, PRIME, 0x130),
    C(CKA, SUBPRIME, 0x131),
    C(CKA, BASE, 0x132),
    C(CKA, PRIME_BITS, 0x133),
    C(CKA, SUBPRIME_BITS, 0x134),
    C(CKA, SUB_PRIME_BITS, 0x134),
    C(CKA, VALUE_BITS, 0x160),
    C(CKA, VALUE_LEN, 0x161),
    C(CKA, EXTRACTABLE, 0x162),
    C(CKA, LOCAL, 0x163),
    C(CKA, NEVER_EXTRACTABLE, 0x164),
    C(CKA, ALWAYS_SENSITIVE, 0x165),
    C(CKA, KEY_GEN_MECHANISM, 0x166),
    C(CKA, MODIFIABLE, 0x170),
    C(CKA, ECDSA_PARAMS, 0x180),
    C(CKA, EC_PARAMS, 0x180),
    C(CKA, EC_POINT, 0x181),
    C(CKA, SECONDARY_AUTH, 0x200),
    C(CKA, AUTH_PIN_FLAGS, 0x201),
    C(CKA, HW_FEATURE_TYPE, 0x300),
    C(CKA, RESET_ON_INIT, 0x301),
    C(CKA, HAS_RESET, 0x302),
    C(CKA, VENDOR_DEFINED, 0x80000000),
};
const ConstInfo kObjectClasses[] = {
    C(CKO, DATA, 0),
    C(CKO, CERTIFICATE, 1),
    C(CKO, PUBLIC_KEY, 2),
    C(CKO, PRIVATE_KEY, 3),
    C(CKO, SECRET_KEY, 4),
    C(CKO, HW_FEATURE, 5),
    C(CKO, DOMAIN_PARAMETERS, 6),
    C(CKO, VENDOR_DEFINED, 0x80000000),
};
const ConstInfo kKeyTypes[] = {
    C(CKK, RSA, 0),
    C(CKK, DSA, 1),
    C(CKK, DH, 2),
    C(CKK, ECDSA, 3),
    C(CKK, EC, 3),
    C(CKK, X9_42_DH, 4),
    C(CKK, KEA, 5),
    C(CKK, GENERIC_SECRET, 0x10),
    C(CKK, RC2, 0x11),
    C(CKK, RC4, 0x12),
    C(CKK, DES, 0x13),
    C(CKK, DES2, 0x14),
    C(CKK, DES3, 0x15),
    C(CKK, CAST, 0x16),
    C(CKK, CAST3, 0x17),
    C(CKK, CAST5, 0x18),
    C(CKK, CAST128, 0x18),
    C(CKK, RC5, 0x19),
    C(CKK, IDEA, 0x1A),
    C(CKK, SKIPJACK, 0x1B),
    C(CKK, BATON, 0x1C),
    C(CKK, JUNIPER, 0x1D),
    C(CKK, CDMF, 0x1E),
    C(CKK, AES, 0x1F),
    C(CKK, VENDOR_DEFINED, 0x80000000),
};
const ConstInfo kCertificateTypes[] = {C(CKC, X_509, 0), C(CKC, X_509_ATTR_CERT, 1),
                                       C(CKC, VENDOR_DEFINED, 0x80000000)};
#undef C

const int kImplAttribute[] = {kIP11Attribute};
const int kImplCollection[] = {kIVariantCollection};
const int kImplLib[] = {kIPkcs11Lib};
const int kImplObject[] = {kIP11Object};
const int kImplSession[] = {kIP11Session};
const int kImplTokenInfo[] = {kITokenInfo};
const int kImplUtil[] = {kIUtil};

#define INTERFACE(iid, name, doc, members) \
    { TKIND_DISPATCH, iid, name, doc, kDual, members, std::size(members), nullptr, 0, nullptr, 0 }
#define COCLASS(clsid, name, doc, flags, impl) \
    { TKIND_COCLASS, clsid, name, doc, flags, nullptr, 0, nullptr, 0, impl, std::size(impl) }
#define ENUMERATION(name, doc, values) \
    { TKIND_ENUM, GUID_NULL, name, doc, 0, nullptr, 0, values, std::size(values), nullptr, 0 }

const TypeTable kTypes[] = {
    INTERFACE(IID_IP11Attribute, u"IP11Attribute", u"IP11Attribute Interface", kAttributeMembers),
    INTERFACE(IID_IVariantCollection, u"IVariantCollection", u"IVariantCollection Interface",
              kCollectionMembers),
    INTERFACE(IID_IPkcs11Lib, u"IPkcs11Lib", u"IPkcs11Lib Interface", kLibMembers),
    INTERFACE(IID_IP11Object, u"IP11Object", u"IP11Object Interface", kObjectMembers),
    INTERFACE(IID_IP11Session, u"IP11Session", u"IP11Session Interface", kSessionMembers),
    INTERFACE(IID_ITokenInfo, u"ITokenInfo", u"ITokenInfo Interface", kTokenInfoMembers),
    INTERFACE(IID_IUtil, u"IUtil", u"IUtil Interface", kUtilMembers),
    COCLASS(CLSID_P11Attribute, u"CP11Attribute", u"P11Attribute Class", TYPEFLAG_FCANCREATE,
            kImplAttribute),
    COCLASS(CLSID_VariantCollection, u"CVariantCollection", u"VariantCollection Class",
            TYPEFLAG_FCANCREATE, kImplCollection),
    COCLASS(CLSID_Pkcs11Lib, u"CPkcs11Lib", u"Pkcs11Lib Class", TYPEFLAG_FCANCREATE, kImplLib),
    COCLASS(CLSID_P11Object, u"CP11Object", u"P11Object Class", 0, kImplObject),
    COCLASS(CLSID_P11Session, u"CP11Session", u"P11Session Class", 0, kImplSession),
    COCLASS(CLSID_TokenInfo, u"CTokenInfo", u"TokenInfo Class", TYPEFLAG_FCANCREATE,
            kImplTokenInfo),
    COCLASS(CLSID_Util, u"CUtil", u"Util Class", TYPEFLAG_FCANCREATE, kImplUtil),
    ENUMERATION(u"CK_RVS", u"PKCS#11 Return Values enum", kReturnValues),
    ENUMERATION(u"CK_TOKEN_INFO_FLAGS", u"CK_TOKEN_INFO flags enum", kTokenFlags),
    ENUMERATION(u"CK_SLOT_INFO_FLAGS", u"CK_SLOT_INFO flags enum", kSlotFlags),
    ENUMERATION(u"CK_MECHANISM_INFO_FLAGS", u"CK_MECHANISM_INFO flags enum", kMechanismFlags),
    ENUMERATION(u"CK_SESSION_FLAGS", u"CK_SESSION enum", kSessionFlags),
    ENUMERATION(u"CK_ATTRIBUTES", u"PKCS#11 Attributes enum", kAttributes),
    ENUMERATION(u"CK_OBJECT_CLASSES", u"CK_OBJECT_CLASS enum", kObjectClasses),
    ENUMERATION(u"CK_KEY_TYPES", u"CK_KEY_TYPES enum", kKeyTypes),
    ENUMERATION(u"CK_CERTIFICATE_TYPES", u"CK_CERTIFICATE_TYPE enum", kCertificateTypes),
};

const vantor::ole::TypeLibTable kLibrary = {
    LIBID_Pavlox,
    u"Pavlox",
    u"Pavlox 1.0 Type Library",
    1,
    0,
    0x409,
    kTypes,
    std::size(kTypes),
    [](bool lock) { lock ? moduleLock() : moduleUnlock(); }};

}  // namespace

const vantor::ole::TypeLibTable& typeLibrary() {
    return kLibrary;
}

}  // namespace pavlox
