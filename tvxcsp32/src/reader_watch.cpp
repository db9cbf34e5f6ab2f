// ReaderWatch: one PC/SC context per look, released again before the answer, so that a provider
// polling once a second holds no context between looks.
#include "reader_watch.h"

#include "module_state.h"
#include "win/synchapi.h"
#include "win/winscard.h"

namespace tvx {

ReaderWatch& ReaderWatch::instance() {
    static auto* watch = new ReaderWatch;
    return *watch;
}

bool ReaderWatch::compareAndRemember(bool listed, const std::string& readers) {
    // An empty list or a listing error tells nothing about a change.
    if (!listed || readers.empty()) {
        return false;
    }
    if (readers == remembered_) {
        return false;
    }
    remembered_ = readers;
    return true;
}

bool ReaderWatch::changed() {
    if (readDetectReaderChanges() == 0) {
        return false;
    }
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        Sleep(5);
        return true;
    }
    bool listed = false;
    std::string readers;
    DWORD size = 0;
    if (SCardListReadersA(context, nullptr, nullptr, &size) == SCARD_S_SUCCESS && size > 0) {
        readers.assign(size, '\0');
        listed = SCardListReadersA(context, nullptr, readers.data(), &size) == SCARD_S_SUCCESS;
        readers.resize(std::min<std::size_t>(size, readers.size()));
    }
    SCardReleaseContext(context);
    return compareAndRemember(listed, readers);
}

}  // namespace tvx
