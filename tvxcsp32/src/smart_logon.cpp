// The smart-logon marker data object on the token.
#include "smart_logon.h"

#include "card_objects.h"
#include "module_state.h"

namespace tvx {

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

}  // namespace tvx
