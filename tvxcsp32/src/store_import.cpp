// ExportCert and Card2WinStore behind their exports: card session, propagation, message box.
#include "store_import.h"

#include "card_binding.h"
#include "cert_propagation.h"
#include "import_command.h"
#include "import_progress.h"
#include "provider_messages.h"
#include "win/wincrypt.h"
#include "win/winuser.h"

#include <cstdio>
#include <string>

namespace tvx {
namespace {

// One card session for the import, closed when it ends.
DWORD bindAndPropagate(const BindRequest& request, bool requireKey, std::size_t* count,
                       const PropagationProgress& progress) {
    CardSession card;
    const DWORD bound = bindCard(card, request);
    if (bound != 0) {
        return bound;
    }
    return propagateCertificates(card.session, requireKey, count, progress);
}

// The outcome's text: "%d" in the many-certificates message takes the count.
std::string outcomeText(bool ok, std::size_t count) {
    if (!ok) {
        return providerMessage(MSG_IMPORT_ERROR);
    }
    if (count == 0) {
        return providerMessage(MSG_NO_CERTIFICATE);
    }
    if (count == 1) {
        return providerMessage(MSG_IMPORT_ONE);
    }
    std::string text = providerMessage(MSG_IMPORT_MANY);
    const std::size_t at = text.find("%d");
    if (at != std::string::npos) {
        text.replace(at, 2, std::to_string(count));
    }
    return text;
}

}  // namespace

DWORD exportCertificates(bool requireKey) {
    BindRequest request;  // flags 0: the PIN dialog logs in unless the process already is
    std::size_t count = 0;
    return bindAndPropagate(request, requireKey, &count, {});
}

DWORD importToStores(const char* commandLine) {
    const ImportCommand command = parseImportCommand(commandLine != nullptr ? commandLine : "");
    bool ok = false;
    std::size_t count = 0;
    if (command.valid && command.pin.has_value() == command.slot.has_value()) {
        ImportProgress progress;
        BindRequest request;
        vantor::SecureBytes pin;
        SlotSelector slot;
        if (command.pin) {
            // BindCard logs in without any window with a NUL-terminated PIN and the slot text.
            request.flags = CRYPT_SILENT;
            pin = *command.pin;
            pin.push_back(0);
            slot = *command.slot;
            request.pin = &pin;
            request.slotSelector = &slot;
        }
        const PropagationProgress callbacks =
            command.quiet ? PropagationProgress{} : progress.callbacks();
        ok = bindAndPropagate(request, true, &count, callbacks) == 0;
        pin.wipe();
    }
    if (!command.quiet) {
        // Without a display the box cannot open and MessageBoxA returns at once; the import's
        // outcome does not depend on it.
        const std::string text = outcomeText(ok, count);
        MessageBoxA(nullptr, text.c_str(), providerMessage(MSG_CAPTION).c_str(), MB_OK);
    }
    return ok ? 0 : kImportFailed;
}

}  // namespace tvx
