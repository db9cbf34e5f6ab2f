// Token object helpers shared by the key import, the certificate write and the smart-logon
// marker: find one object, and replace the object a search template names.
#pragma once

#include "pkcs11/pkcs11.h"

namespace tvx {

// Searches for at most one object; *object is 0 when none matched.
CK_RV findOneObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE* search, CK_ULONG count,
                    CK_OBJECT_HANDLE* object);

// Creates the object of the template and then destroys the object found by the search before
// the creation, so that a refused creation leaves the old object in place. *created receives
// the new object.
CK_RV replaceObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE* search, CK_ULONG searchCount,
                    CK_ATTRIBUTE* object, CK_ULONG objectCount, CK_OBJECT_HANDLE* created);

}  // namespace tvx
