// The card model's PIN/PUK and other-function operations. They answer "not supported" until the
// PIN/PUK workflows and the contents, certificate and import functions are built on this model.
#include "results.h"
#include "smart_card.h"

namespace tesmira {

void SmartCardCls::UnblockPIN(std::int32_t* result) {
    *result = kResultNotSupported;
}
void SmartCardCls::ChangePUK(std::int32_t* result) {
    *result = kResultNotSupported;
}
void SmartCardCls::ChangePIN(std::int32_t* result) {
    *result = kResultNotSupported;
}
void SmartCardCls::ImportP12(const std::string&, const std::string&, const std::string&,
                             const std::string&, const std::string&, std::int32_t* result) {
    *result = kResultNotSupported;
}
void SmartCardCls::ShowDetailedInfos(std::int32_t* result) {
    *result = kResultNotSupported;
}
void SmartCardCls::CardoloChangePIN(std::int32_t* result) {
    *result = kResultNotSupported;
}
void SmartCardCls::CardoloChangePUK(std::int32_t* result) {
    *result = kResultNotSupported;
}
void SmartCardCls::CardoloChangeDSPIN(std::int32_t* result) {
    *result = kResultNotSupported;
}
void SmartCardCls::CardoloChangeDSPUK(std::int32_t* result) {
    *result = kResultNotSupported;
}
void SmartCardCls::CardoloUnblockPIN(std::int32_t* result) {
    *result = kResultNotSupported;
}
void SmartCardCls::CardoloUnblockDSPIN(std::int32_t* result) {
    *result = kResultNotSupported;
}
void SmartCardCls::PKCS11ChangePIN(std::int32_t* result) {
    *result = kResultNotSupported;
}
void SmartCardCls::PKCS11UnblockPIN(std::int32_t* result) {
    *result = kResultNotSupported;
}
void SmartCardCls::PKCS11ChangePUK(std::int32_t* result) {
    *result = kResultNotSupported;
}
void SmartCardCls::InitTokenPin(std::int32_t* result) {
    *result = kResultNotSupported;
}

}  // namespace tesmira
