// The certificates read from a card: each entry holds the decoded certificate and the token
// object it came from, in an ordered collection optionally keyed.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "com_ref.h"
#include "crypt32/certificate.h"
#include "pavlox_interfaces.h"

namespace tesmira {

class SmartCardCertificate final {
  public:
    // Reads the object's CKA_VALUE and decodes it; an object without exactly one value, or a
    // value that does not decode, leaves the entry without a certificate. Errors of the token
    // read are raised to the caller.
    void Init(ComRef<pavlox::IP11Object> object);

    vantor::crypt32::Certificate Certificate;
    ComRef<pavlox::IP11Object> P11CertObject;
};

class Certificates final {
  public:
    // A new entry, added under key when it is not empty (RuntimeError 457 when the key is in
    // use already), otherwise without a key.
    SmartCardCertificate& Add(const std::string& key);
    // By 1-based position or by key; RuntimeError 5 when there is none.
    SmartCardCertificate& Item(std::size_t index);
    SmartCardCertificate& Item(const std::string& key);
    std::size_t Count() const { return items_.size(); }
    void Remove(std::size_t index);
    void Remove(const std::string& key);
    void Clear() { items_.clear(); }

    // Enumeration in order.
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

  private:
    using Entry = std::pair<std::string, std::unique_ptr<SmartCardCertificate>>;
    std::vector<Entry>::iterator find(const std::string& key);

    std::vector<Entry> items_;
};

}  // namespace tesmira
