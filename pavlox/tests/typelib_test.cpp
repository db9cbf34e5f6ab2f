// The compiled-in type library: identity, interfaces and DISPIDs, and the published
// enumerations checked against the PKCS#11 header as Debian ships it.
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>

#include <map>
#include <string>

#include "frame/module.h"
#include "oleaut/ustring.h"
#include "pavlox_ids.h"
#include "typelib_tables.h"

namespace {

struct Library {
    ITypeLib* lib = nullptr;
    Library() { EXPECT_EQ(vantor::ole::GetTableTypeLib(pavlox::typeLibrary(), &lib), S_OK); }
    ~Library() { lib->Release(); }
};

// Name -> value of every constant of the enumeration called name.
std::map<std::string, LONG> enumeration(ITypeLib* lib, const char16_t* name) {
    std::map<std::string, LONG> values;
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
        vantor::ole::Bstr typeName;
        lib->GetDocumentation(static_cast<INT>(i), typeName.out(), nullptr, nullptr, nullptr);
        if (std::u16string(typeName.get()) != name) {
            continue;
        }
        ITypeInfo* info = nullptr;
        EXPECT_EQ(lib->GetTypeInfo(i, &info), S_OK);
        TYPEATTR* attr = nullptr;
        info->GetTypeAttr(&attr);
        EXPECT_EQ(attr->typekind, TKIND_ENUM);
        for (WORD v = 0; v < attr->cVars; ++v) {
            VARDESC* desc = nullptr;
            info->GetVarDesc(v, &desc);
            vantor::ole::Bstr constName;
            info->GetDocumentation(desc->memid, constName.out(), nullptr, nullptr, nullptr);
            values[vantor::ole::toUtf8(constName.get())] = desc->lpvarValue->lVal;
        }
        info->Release();
    }
    return values;
}

TEST(TypeLibrary, IdentityAndOrder) {
    Library l;
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(l.lib->GetLibAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, pavlox::LIBID_Pavlox));
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    EXPECT_EQ(attr->lcid, 0x409u);
    vantor::ole::Bstr name, doc;
    ASSERT_EQ(l.lib->GetDocumentation(-1, name.out(), doc.out(), nullptr, nullptr), S_OK);
    EXPECT_EQ(std::u16string(name.get()), u"Pavlox");
    EXPECT_EQ(std::u16string(doc.get()), u"Pavlox 1.0 Type Library");
    // Coclasses: only the session and object classes lack the creatable flag.
    for (int i = pavlox::kCP11Attribute; i <= pavlox::kCUtil; ++i) {
        const auto& t = pavlox::typeTable(i);
        bool internal = i == pavlox::kCP11Object || i == pavlox::kCP11Session;
        EXPECT_EQ((t.typeFlags & TYPEFLAG_FCANCREATE) != 0, !internal) << i;
        EXPECT_EQ(pavlox::findClass(t.guid)->create == nullptr, internal);
    }
}

TEST(TypeLibrary, MembersKeepTheirDispidsAndVtableOrder) {
    struct Expect {
        int type;
        const char16_t* name;
        DISPID id;
    } expected[] = {
        {pavlox::kIPkcs11Lib, u"Load", 1},
        {pavlox::kIPkcs11Lib, u"TokenInfo", 10},
        {pavlox::kIP11Session, u"ImportP12File", 9},
        {pavlox::kIP11Object, u"Sign", 4},
        {pavlox::kIP11Attribute, u"ValueStr", DISPID_VALUE},
        {pavlox::kIP11Attribute, u"Valid", 6},
        {pavlox::kITokenInfo, u"Flags", 5},
        {pavlox::kIVariantCollection, u"_NewEnum", DISPID_NEWENUM},
        {pavlox::kIUtil, u"ArrayToString", 1},
    };
    for (const Expect& e : expected) {
        LPOLESTR n = const_cast<LPOLESTR>(e.name);
        DISPID id = 0;
        ASSERT_EQ(vantor::ole::TableGetIDsOfNames(pavlox::typeTable(e.type), &n, 1, &id), S_OK);
        EXPECT_EQ(id, e.id) << vantor::ole::toUtf8(e.name,
                                                   std::char_traits<char16_t>::length(e.name));
    }
    // Slots follow declaration order after IDispatch's seven, without gaps or repeats.
    for (int t = pavlox::kIP11Attribute; t <= pavlox::kIUtil; ++t) {
        const auto& table = pavlox::typeTable(t);
        for (size_t m = 0; m < table.memberCount; ++m) {
            EXPECT_EQ(table.members[m].vtableSlot, static_cast<SHORT>(7 + m)) << t << "/" << m;
        }
    }
}

#define X(name) \
    { "e" #name, static_cast<LONG>(static_cast<ULONG>(name)) }
#define RV(name) \
    { "e" #name, static_cast<LONG>(0x80400000u | static_cast<ULONG>(name)) }

TEST(TypeLibrary, ReturnValuesAreFoldedPkcs11Codes) {
    Library l;
    auto values = enumeration(l.lib, u"CK_RVS");
    const std::pair<const char*, LONG> expected[] = {
        RV(CKR_OK),
        RV(CKR_CANCEL),
        RV(CKR_HOST_MEMORY),
        RV(CKR_SLOT_ID_INVALID),
        RV(CKR_GENERAL_ERROR),
        RV(CKR_FUNCTION_FAILED),
        RV(CKR_ARGUMENTS_BAD),
        RV(CKR_NO_EVENT),
        RV(CKR_NEED_TO_CREATE_THREADS),
        RV(CKR_CANT_LOCK),
        RV(CKR_ATTRIBUTE_READ_ONLY),
        RV(CKR_ATTRIBUTE_SENSITIVE),
        RV(CKR_ATTRIBUTE_TYPE_INVALID),
        RV(CKR_ATTRIBUTE_VALUE_INVALID),
        RV(CKR_DATA_INVALID),
        RV(CKR_DATA_LEN_RANGE),
        RV(CKR_DEVICE_ERROR),
        RV(CKR_DEVICE_MEMORY),
        RV(CKR_DEVICE_REMOVED),
        RV(CKR_ENCRYPTED_DATA_INVALID),
        RV(CKR_ENCRYPTED_DATA_LEN_RANGE),
        RV(CKR_FUNCTION_CANCELED),
        RV(CKR_FUNCTION_NOT_PARALLEL),
        RV(CKR_FUNCTION_NOT_SUPPORTED),
        RV(CKR_KEY_HANDLE_INVALID),
        RV(CKR_KEY_SIZE_RANGE),
        RV(CKR_KEY_TYPE_INCONSISTENT),
        RV(CKR_KEY_NOT_NEEDED),
        RV(CKR_KEY_CHANGED),
        RV(CKR_KEY_NEEDED),
        RV(CKR_KEY_INDIGESTIBLE),
        RV(CKR_KEY_FUNCTION_NOT_PERMITTED),
        RV(CKR_KEY_NOT_WRAPPABLE),
        RV(CKR_KEY_UNEXTRACTABLE),
        RV(CKR_MECHANISM_INVALID),
        RV(CKR_MECHANISM_PARAM_INVALID),
        RV(CKR_OBJECT_HANDLE_INVALID),
        RV(CKR_OPERATION_ACTIVE),
        RV(CKR_OPERATION_NOT_INITIALIZED),
        RV(CKR_PIN_INCORRECT),
        RV(CKR_PIN_INVALID),
        RV(CKR_PIN_LEN_RANGE),
        RV(CKR_PIN_EXPIRED),
        RV(CKR_PIN_LOCKED),
        RV(CKR_SESSION_CLOSED),
        RV(CKR_SESSION_COUNT),
        RV(CKR_SESSION_HANDLE_INVALID),
        RV(CKR_SESSION_PARALLEL_NOT_SUPPORTED),
        RV(CKR_SESSION_READ_ONLY),
        RV(CKR_SESSION_EXISTS),
        RV(CKR_SESSION_READ_ONLY_EXISTS),
        RV(CKR_SESSION_READ_WRITE_SO_EXISTS),
        RV(CKR_SIGNATURE_INVALID),
        RV(CKR_SIGNATURE_LEN_RANGE),
        RV(CKR_TEMPLATE_INCOMPLETE),
        RV(CKR_TEMPLATE_INCONSISTENT),
        RV(CKR_TOKEN_NOT_PRESENT),
        RV(CKR_TOKEN_NOT_RECOGNIZED),
        RV(CKR_TOKEN_WRITE_PROTECTED),
        RV(CKR_UNWRAPPING_KEY_HANDLE_INVALID),
        RV(CKR_UNWRAPPING_KEY_SIZE_RANGE),
        RV(CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT),
        RV(CKR_USER_ALREADY_LOGGED_IN),
        RV(CKR_USER_NOT_LOGGED_IN),
        RV(CKR_USER_PIN_NOT_INITIALIZED),
        RV(CKR_USER_TYPE_INVALID),
        RV(CKR_USER_ANOTHER_ALREADY_LOGGED_IN),
        RV(CKR_USER_TOO_MANY_TYPES),
        RV(CKR_WRAPPED_KEY_INVALID),
        RV(CKR_WRAPPED_KEY_LEN_RANGE),
        RV(CKR_WRAPPING_KEY_HANDLE_INVALID),
        RV(CKR_WRAPPING_KEY_SIZE_RANGE),
        RV(CKR_WRAPPING_KEY_TYPE_INCONSISTENT),
        RV(CKR_RANDOM_SEED_NOT_SUPPORTED),
        RV(CKR_RANDOM_NO_RNG),
        RV(CKR_DOMAIN_PARAMS_INVALID),
        RV(CKR_BUFFER_TOO_SMALL),
        RV(CKR_SAVED_STATE_INVALID),
        RV(CKR_INFORMATION_SENSITIVE),
        RV(CKR_STATE_UNSAVEABLE),
        RV(CKR_CRYPTOKI_NOT_INITIALIZED),
        RV(CKR_CRYPTOKI_ALREADY_INITIALIZED),
        RV(CKR_MUTEX_BAD),
        RV(CKR_MUTEX_NOT_LOCKED),
    };
    for (const auto& [name, value] : expected) {
        ASSERT_TRUE(values.count(name)) << name;
        EXPECT_EQ(values[name], value) << name;
    }
    EXPECT_EQ(values["eCKR_OK"], static_cast<LONG>(0x80400000u)) << "success is folded too";
    EXPECT_EQ(values["eCKR_EX_FILE_NOT_FOUND"], static_cast<LONG>(0x80200002u));
    EXPECT_EQ(values["eCKR_EX_FILE_INVALID"], static_cast<LONG>(0x802003EEu));
    EXPECT_EQ(values["eCKR_EX_INVALID_PASSWORD"], static_cast<LONG>(0x80200056u));
    EXPECT_EQ(values.size(), std::size(expected) + 3);
}

TEST(TypeLibrary, FlagAndAttributeEnumerationsMatchThePkcs11Header) {
    Library l;
    struct Enum {
        const char16_t* name;
        std::vector<std::pair<const char*, LONG>> values;
    } enums[] = {
        {u"CK_TOKEN_INFO_FLAGS",
         {X(CKF_RNG), X(CKF_WRITE_PROTECTED), X(CKF_LOGIN_REQUIRED), X(CKF_USER_PIN_INITIALIZED),
          X(CKF_RESTORE_KEY_NOT_NEEDED), X(CKF_CLOCK_ON_TOKEN),
          X(CKF_PROTECTED_AUTHENTICATION_PATH), X(CKF_DUAL_CRYPTO_OPERATIONS),
          X(CKF_TOKEN_INITIALIZED), X(CKF_USER_PIN_COUNT_LOW), X(CKF_USER_PIN_FINAL_TRY),
          X(CKF_USER_PIN_LOCKED), X(CKF_USER_PIN_TO_BE_CHANGED), X(CKF_SO_PIN_COUNT_LOW),
          X(CKF_SO_PIN_FINAL_TRY), X(CKF_SO_PIN_LOCKED), X(CKF_SO_PIN_TO_BE_CHANGED)}},
        {u"CK_SLOT_INFO_FLAGS", {X(CKF_TOKEN_PRESENT), X(CKF_REMOVABLE_DEVICE), X(CKF_HW_SLOT)}},
        {u"CK_MECHANISM_INFO_FLAGS",
         {X(CKF_HW),
          X(CKF_ENCRYPT),
          X(CKF_DECRYPT),
          X(CKF_DIGEST),
          X(CKF_SIGN),
          X(CKF_SIGN_RECOVER),
          X(CKF_VERIFY),
          X(CKF_VERIFY_RECOVER),
          X(CKF_GENERATE),
          X(CKF_GENERATE_KEY_PAIR),
          X(CKF_WRAP),
          X(CKF_UNWRAP),
          X(CKF_DERIVE),
          X(CKF_EC_F_P),
          {"eCKF_EC_F_2M", 0x200000},
          {"eCKF_EC_ECPARAMETERS", 0x400000},
          X(CKF_EC_NAMEDCURVE),
          X(CKF_EC_UNCOMPRESS),
          X(CKF_EC_COMPRESS),
          X(CKF_EXTENSION)}},
        {u"CK_SESSION_FLAGS", {X(CKF_RW_SESSION), X(CKF_SERIAL_SESSION)}},
        {u"CK_ATTRIBUTES",
         {X(CKA_CLASS),
          X(CKA_TOKEN),
          X(CKA_PRIVATE),
          X(CKA_LABEL),
          X(CKA_APPLICATION),
          X(CKA_VALUE),
          X(CKA_OBJECT_ID),
          X(CKA_CERTIFICATE_TYPE),
          X(CKA_ISSUER),
          X(CKA_SERIAL_NUMBER),
          X(CKA_AC_ISSUER),
          X(CKA_OWNER),
          X(CKA_ATTR_TYPES),
          X(CKA_TRUSTED),
          X(CKA_KEY_TYPE),
          X(CKA_SUBJECT),
          X(CKA_ID),
          X(CKA_SENSITIVE),
          X(CKA_ENCRYPT),
          X(CKA_DECRYPT),
          X(CKA_WRAP),
          X(CKA_UNWRAP),
          X(CKA_SIGN),
          X(CKA_SIGN_RECOVER),
          X(CKA_VERIFY),
          X(CKA_VERIFY_RECOVER),
          X(CKA_DERIVE),
          X(CKA_START_DATE),
          X(CKA_END_DATE),
          X(CKA_MODULUS),
          X(CKA_MODULUS_BITS),
          X(CKA_PUBLIC_EXPONENT),
          X(CKA_PRIVATE_EXPONENT),
          X(CKA_PRIME_1),
          X(CKA_PRIME_2),
          X(CKA_EXPONENT_1),
          X(CKA_EXPONENT_2),
          X(CKA_COEFFICIENT),
          X(CKA_PRIME),
          X(CKA_SUBPRIME),
          X(CKA_BASE),
          X(CKA_PRIME_BITS),
          {"eCKA_SUBPRIME_BITS", static_cast<LONG>(CKA_SUB_PRIME_BITS)},
          X(CKA_SUB_PRIME_BITS),
          X(CKA_VALUE_BITS),
          X(CKA_VALUE_LEN),
          X(CKA_EXTRACTABLE),
          X(CKA_LOCAL),
          X(CKA_NEVER_EXTRACTABLE),
          X(CKA_ALWAYS_SENSITIVE),
          X(CKA_KEY_GEN_MECHANISM),
          X(CKA_MODIFIABLE),
          X(CKA_ECDSA_PARAMS),
          X(CKA_EC_PARAMS),
          X(CKA_EC_POINT),
          X(CKA_SECONDARY_AUTH),
          X(CKA_AUTH_PIN_FLAGS),
          X(CKA_HW_FEATURE_TYPE),
          X(CKA_RESET_ON_INIT),
          X(CKA_HAS_RESET),
          X(CKA_VENDOR_DEFINED)}},
        {u"CK_OBJECT_CLASSES",
         {X(CKO_DATA), X(CKO_CERTIFICATE), X(CKO_PUBLIC_KEY), X(CKO_PRIVATE_KEY), X(CKO_SECRET_KEY),
          X(CKO_HW_FEATURE), X(CKO_DOMAIN_PARAMETERS), X(CKO_VENDOR_DEFINED)}},
        // The header lacks a few older names: CKK_CAST5 is CAST128's other name, CKA_SUBPRIME_BITS
        // SUB_PRIME_BITS's, and the two EC field flags of version 2.11 are written out.
        {u"CK_KEY_TYPES",
         {X(CKK_RSA),
          X(CKK_DSA),
          X(CKK_DH),
          X(CKK_ECDSA),
          X(CKK_EC),
          X(CKK_X9_42_DH),
          X(CKK_KEA),
          X(CKK_GENERIC_SECRET),
          X(CKK_RC2),
          X(CKK_RC4),
          X(CKK_DES),
          X(CKK_DES2),
          X(CKK_DES3),
          X(CKK_CAST),
          X(CKK_CAST3),
          {"eCKK_CAST5", static_cast<LONG>(CKK_CAST128)},
          X(CKK_CAST128),
          X(CKK_RC5),
          X(CKK_IDEA),
          X(CKK_SKIPJACK),
          X(CKK_BATON),
          X(CKK_JUNIPER),
          X(CKK_CDMF),
          X(CKK_AES),
          X(CKK_VENDOR_DEFINED)}},
        {u"CK_CERTIFICATE_TYPES", {X(CKC_X_509), X(CKC_X_509_ATTR_CERT), X(CKC_VENDOR_DEFINED)}},
    };
    for (const Enum& e : enums) {
        auto values = enumeration(l.lib, e.name);
        std::string label = vantor::ole::toUtf8(e.name, std::char_traits<char16_t>::length(e.name));
        EXPECT_EQ(values.size(), e.values.size()) << label;
        for (const auto& [name, value] : e.values) {
            ASSERT_TRUE(values.count(name)) << label << " lacks " << name;
            EXPECT_EQ(values[name], value) << name;
        }
    }
    EXPECT_EQ(enumeration(l.lib, u"CK_ATTRIBUTES").size(), 61u);
}

}  // namespace
