// The result texts: card library codes, PKCS#11 return values folded into HRESULTs, and the
// PKCS#12 import's own codes, each to its message.
#include "results.h"

#include "messages.h"

namespace tesmira {

namespace {

constexpr std::int32_t H(std::uint32_t v) {
    return static_cast<std::int32_t>(v);
}

}  // namespace

std::string ErrorText(std::int32_t result, int operation) {
    switch (result) {
        case -15:
        case -17:
        case -29:
            return LoadMessage(1100);
        case -16:
        case -18:
            return LoadMessage(1104);
        case -20:
        case -21:
            return LoadMessage(1115);
        case -22:
        case -23:
        case -24:
        case -25:
        case H(0x804000A0):
            switch (operation) {
                case OP_CHANGE_PIN:
                    return LoadMessage(1107);
                case OP_UNBLOCK_PIN:
                    return LoadMessage(1102);
                case OP_CHANGE_PUK:
                    return LoadMessage(1113);
                default:
                    return LoadMessage(1101);
            }
        case -30:
            return {};
        case -32:
        case -34:
            return LoadMessage(1114);
        case -33:
        case -35:
            return LoadMessage(1125);
        case -56:
        case -58:
        case -60:
        case -62:
            return LoadMessage(1119);
        case -57:
        case -59:
        case -61:
        case -63:
            return LoadMessage(1120);
        case -64:
            return LoadMessage(1121);
        case H(0x80200002):
            return LoadMessage(1118);
        case H(0x80200056):
            return LoadMessage(1116);
        case H(0x802003EE):
            return LoadMessage(1117);
        case H(0x80400031):
            return LoadMessage(1111);
        case H(0x80400054):
            return LoadMessage(1124);
        case H(0x804000A1):
        case H(0x804000A2):
            return LoadMessage(operation == OP_CHANGE_PUK ? 1120 : 1119);
        case H(0x804000A4):
            return LoadMessage(operation == OP_CHANGE_PUK ? 1125 : 1114);
        default:
            break;
    }
    std::string text = LoadMessage(1103) + ": #" + std::to_string(result);
    if (result >= -256 && result <= -1) {
        text += " (Cardolo)";
    } else if (result >= H(0x80400000) && result <= H(0x804001A1)) {
        text += " (PKCS#11)";
    }
    return text;
}

}  // namespace tesmira
