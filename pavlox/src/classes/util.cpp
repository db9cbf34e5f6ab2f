// CUtil: interfaces and lifetime; ArrayToString is the conversion work still to come.
#include "classes/util.h"

namespace pavlox {

void* CUtil::interfaceFor(REFIID riid) {
    if (riid == IID_IUtil || riid == IID_IDispatch) {
        return static_cast<IUtil*>(this);
    }
    if (riid == IID_IProvideClassInfo) {
        return static_cast<IProvideClassInfo*>(this);
    }
    return nullptr;
}

HRESULT CUtil::ArrayToString(VARIANT, VARIANT, VARIANT*) {
    return E_NOTIMPL;
}

}  // namespace pavlox
