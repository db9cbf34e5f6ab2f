// The smart-logon marker on the token and the smart-logon container lookup.
#include "smart_logon.h"

#include "card_binding.h"
#include "card_objects.h"
#include "module_state.h"
#include "provider_codes.h"
#include "win/wincrypt.h"

#include <vector>

namespace tvx {
namespace {

// The marker's value is read into a buffer of this size, one byte kept for the terminator.
constexpr std::size_t kMarkerBuffer = 1024;

}  // namespace

DWORD writeSmartLogonMarker(CK_SESSION_HANDLE session, const std::string& label) {
    CK_BBOOL yes = CK_TRUE;
    CK_BBOOL no = CK_FALSE;
    CK_OBJECT_CLASS dataClass = CKO_DATA;
    std::string name = kSmartLogonLabel;
    std::string value = label;
    CK_ATTRIBUTE marker[] = {
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_CLASS, &dataClass, sizeof dataClass},
        {CKA_LABEL, name.data(), static_cast<CK_ULONG>(name.size())},
        {CKA_VALUE, value.data(), static_cast<CK_ULONG>(value.size())},
        {CKA_PRIVATE, &no, sizeof no},
    };
    // The first three attributes find the marker this one replaces.
    CK_OBJECT_HANDLE created = 0;
    const CK_RV rv = replaceObject(session, marker, 3, marker, 5, &created);
    return rv == CKR_OK ? 0 : p11Error(rv);
}

DWORD readSmartLogonMarker(CK_SESSION_HANDLE session, std::string* value) {
    value->clear();
    CK_BBOOL yes = CK_TRUE;
    CK_OBJECT_CLASS dataClass = CKO_DATA;
    std::string name = kSmartLogonLabel;
    CK_ATTRIBUTE search[] = {
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_CLASS, &dataClass, sizeof dataClass},
        {CKA_LABEL, name.data(), static_cast<CK_ULONG>(name.size())},
    };
    CK_OBJECT_HANDLE marker = 0;
    CK_RV rv = findOneObject(session, search, 3, &marker);
    if (rv != CKR_OK) {
        return p11Error(rv);
    }
    if (marker == 0) {
        return ERR_DATA_OBJECT_MISSING;
    }
    // One read into a bounded buffer: a value too long for it fails (CKR_BUFFER_TOO_SMALL) and
    // the lookup falls back to the registry.
    std::vector<char> buffer(kMarkerBuffer, '\0');
    CK_ATTRIBUTE attribute{CKA_VALUE, buffer.data(), static_cast<CK_ULONG>(kMarkerBuffer - 1)};
    rv = ModuleState::instance().functions()->C_GetAttributeValue(session, marker, &attribute, 1);
    if (rv != CKR_OK) {
        return p11Error(rv);
    }
    value->assign(buffer.data());  // text: it ends at the first NUL
    return 0;
}

std::string lookUpSmartLogonContainer(const std::string& reader, DWORD* cardResult) {
    *cardResult = 0;
    CardSession card;
    const SlotSelector selector(reader);
    BindRequest request;
    request.flags = CRYPT_SILENT;
    request.slotSelector = &selector;
    const DWORD bound = bindCard(card, request);
    if (bound != 0) {
        *cardResult = bound;
        return {};
    }
    std::string name;
    if (readSmartLogonMarker(card.session, &name) == 0 && !name.empty()) {
        return name;
    }
    return readSmartLogonName();
}

}  // namespace tvx
