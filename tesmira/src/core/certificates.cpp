// The certificate entries of a card and their collection.
#include "certificates.h"

#include "runtime_error.h"
#include "token_contents.h"

namespace tesmira {

namespace {

constexpr std::int32_t kErrKeyInUse = 457;

[[noreturn]] void NoSuchItem() {
    throw RuntimeError(kErrInvalidCall, "Invalid procedure call or argument");
}

}  // namespace

void SmartCardCertificate::Init(ComRef<pavlox::IP11Object> object) {
    P11CertObject = std::move(object);
    const auto value = ReadObjectValue(P11CertObject.get());
    if (value) {
        // A value that does not decode leaves the entry without a certificate.
        Certificate.Import(std::vector<BYTE>(value->begin(), value->end()));
    }
}

std::vector<Certificates::Entry>::iterator Certificates::find(const std::string& key) {
    for (auto it = items_.begin(); it != items_.end(); ++it) {
        if (!key.empty() && it->first == key) {
            return it;
        }
    }
    return items_.end();
}

SmartCardCertificate& Certificates::Add(const std::string& key) {
    if (!key.empty() && find(key) != items_.end()) {
        throw RuntimeError(kErrKeyInUse, "This key is already associated with an element");
    }
    items_.emplace_back(key, std::make_unique<SmartCardCertificate>());
    return *items_.back().second;
}

SmartCardCertificate& Certificates::Item(std::size_t index) {
    if (index < 1 || index > items_.size()) {
        NoSuchItem();
    }
    return *items_[index - 1].second;
}

SmartCardCertificate& Certificates::Item(const std::string& key) {
    const auto it = find(key);
    if (it == items_.end()) {
        NoSuchItem();
    }
    return *it->second;
}

void Certificates::Remove(std::size_t index) {
    if (index < 1 || index > items_.size()) {
        NoSuchItem();
    }
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index - 1));
}

void Certificates::Remove(const std::string& key) {
    const auto it = find(key);
    if (it == items_.end()) {
        NoSuchItem();
    }
    items_.erase(it);
}

}  // namespace tesmira
