// Token object helpers: a one-object search and the replacement of an object.
#include "card_objects.h"

#include "module_state.h"

namespace tvx {

CK_RV findOneObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE* search, CK_ULONG count,
                    CK_OBJECT_HANDLE* object) {
    CK_FUNCTION_LIST_PTR p11 = ModuleState::instance().functions();
    *object = 0;
    CK_RV rv = p11->C_FindObjectsInit(session, search, count);
    if (rv != CKR_OK) {
        return rv;
    }
    CK_ULONG found = 0;
    rv = p11->C_FindObjects(session, object, 1, &found);
    p11->C_FindObjectsFinal(session);
    if (rv != CKR_OK || found == 0) {
        *object = 0;
    }
    return rv;
}

CK_RV replaceObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE* search, CK_ULONG searchCount,
                    CK_ATTRIBUTE* object, CK_ULONG objectCount, CK_OBJECT_HANDLE* created) {
    CK_FUNCTION_LIST_PTR p11 = ModuleState::instance().functions();
    CK_OBJECT_HANDLE old = 0;
    CK_RV rv = findOneObject(session, search, searchCount, &old);
    if (rv != CKR_OK) {
        return rv;
    }
    rv = p11->C_CreateObject(session, object, objectCount, created);
    if (rv != CKR_OK) {
        return rv;
    }
    return old != 0 ? p11->C_DestroyObject(session, old) : CKR_OK;
}

}  // namespace tvx
