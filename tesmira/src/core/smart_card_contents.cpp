// The card model's other functions: the certificate list, the card information and the
// PKCS#12 import, all through the automation library.
#include <string>

// The card model first: its automation-library headers must come before the messages header.
#include "smart_card.h"

#include "messages.h"
#include "p11_session.h"
#include "pin_dialogs.h"
#include "results.h"
#include "runtime_error.h"
#include "token_contents.h"

namespace tesmira {

namespace {

constexpr std::int32_t kResultNoTokenInfo = static_cast<std::int32_t>(0x80400030u);

}  // namespace

tesmira::Certificates& SmartCardCls::Certificates() {
    if (!certs_) {
        certs_ = std::make_unique<tesmira::Certificates>();
    }
    if (certsLoaded_) {
        return *certs_;
    }
    // Each step's failure ends the reading quietly: the list keeps what was read so far and
    // the next call tries again, as the flag stays clear.
    certs_->Clear();
    P11Session session;
    try {
        if (!p11_) {
            p11_ = Pkcs11Lib::Create();
        }
        session = P11Session::Open(p11_, slotId_);
        for (ComRef<pavlox::IP11Object>& object : session.FindCertificates()) {
            SmartCardCertificate& entry = certs_->Add("");
            try {
                entry.Init(std::move(object));
            } catch (const RuntimeError&) {
                // An object whose value cannot be read is listed without a certificate.
            }
        }
        certsLoaded_ = true;
        session.Close();
    } catch (const RuntimeError&) {
    }
    session.CleanUp();
    return *certs_;
}

std::string SmartCardCls::DetailedInfosText() {
    std::string text = shortInfos_ + "\r\nSlotID: " + std::to_string(slotId_) + "\r\n";
    if (!p11_) {
        p11_ = Pkcs11Lib::Create();
    }
    const auto details = ReadTokenDetails(p11_, slotId_);
    if (!details) {
        throw RuntimeError(kResultNoTokenInfo, "No token information");
    }
    const auto line = [&text](long id, const std::string& value) {
        text += LoadMessage(id) + ": " + value + "\r\n";
    };
    line(1050, details->serialNumber);
    line(1049, details->manufacturerId);
    line(1051, details->model);
    line(1052, details->label);
    return text;
}

void SmartCardCls::ShowDetailedInfos(std::int32_t* result) {
    try {
        const std::string text = DetailedInfosText();
        if (env_.dialogs != nullptr) {
            env_.dialogs->Notify(text, false);
        }
        *result = 0;
    } catch (const RuntimeError& e) {
        *result = e.number();
    }
}

void SmartCardCls::ImportP12(const std::string& ckaId, const std::string& ckaLabel,
                             const SecretText& p11Pin, const std::string& p12File,
                             const SecretText& p12Pass, std::int32_t* result) {
    WithSession(
        slotId_,
        [&](P11Session& s) {
            s.Login(p11Pin, false);
            s.ImportP12File(ckaId, ckaLabel, p12File, p12Pass);
            // The token changed: the next listing reads it again.
            certsLoaded_ = false;
        },
        result);
}

}  // namespace tesmira
