// The type library of the automation library, compiled in as tables.
#pragma once

#include "oleaut/typetable.h"

namespace pavlox {

// Positions of the types in the library (interfaces, then coclasses, then enumerations).
enum TypeIndex : int {
    kIP11Attribute = 0,
    kIVariantCollection,
    kIPkcs11Lib,
    kIP11Object,
    kIP11Session,
    kITokenInfo,
    kIUtil,
    kCP11Attribute,
    kCVariantCollection,
    kCPkcs11Lib,
    kCP11Object,
    kCP11Session,
    kCTokenInfo,
    kCUtil,
    kFirstEnum
};

const vantor::ole::TypeLibTable& typeLibrary();
inline const vantor::ole::TypeTable& typeTable(int index) {
    return typeLibrary().types[index];
}

}  // namespace pavlox
