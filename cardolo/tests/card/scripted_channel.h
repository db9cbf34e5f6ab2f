// A reader stand-in that answers from a script: it produces the reader faults a real reader
// cannot be made to give on demand (busy results, empty answers, transient errors, a reset seen
// by the present check) and records every command sent.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "card/card_channel.h"

namespace cardolo::testing {

struct ScriptedReply {
    LONG rv = SCARD_S_SUCCESS;
    std::vector<std::uint8_t> response;
};

class ScriptedChannel final : public CardChannel {
  public:
    // Replies are consumed in order; when the script runs out, fallback answers every command.
    std::deque<ScriptedReply> replies;
    ScriptedReply fallback{SCARD_S_SUCCESS, {0x90, 0x00}};
    std::deque<LONG> statusResults;  // consumed by status(); success when empty
    LONG reconnectResult = SCARD_S_SUCCESS;
    DWORD protocol = SCARD_PROTOCOL_T1;

    std::vector<std::vector<std::uint8_t>> sent;
    int reconnects = 0;
    int pauses = 0;
    int statusCalls = 0;

    LONG connect(SCARDCONTEXT, const std::string&, SCARDHANDLE* card, DWORD* active) override {
        *card = 0x1234;
        *active = protocol;
        return SCARD_S_SUCCESS;
    }
    LONG reconnect(SCARDHANDLE, DWORD, DWORD* active) override {
        ++reconnects;
        *active = protocol;
        return reconnectResult;
    }
    LONG disconnect(SCARDHANDLE) override { return SCARD_S_SUCCESS; }
    LONG beginTransaction(SCARDHANDLE) override { return SCARD_S_SUCCESS; }
    LONG endTransaction(SCARDHANDLE) override { return SCARD_S_SUCCESS; }
    LONG status(SCARDHANDLE, DWORD* active, BYTE*, DWORD*) override {
        ++statusCalls;
        if (active != nullptr) {
            *active = protocol;
        }
        if (statusResults.empty()) {
            return SCARD_S_SUCCESS;
        }
        LONG rv = statusResults.front();
        statusResults.pop_front();
        return rv;
    }
    LONG transmit(SCARDHANDLE, DWORD, const BYTE* send, DWORD sendLength, BYTE* recv,
                  DWORD* recvLength) override {
        sent.emplace_back(send, send + sendLength);
        ScriptedReply reply = fallback;
        if (!replies.empty()) {
            reply = replies.front();
            replies.pop_front();
        }
        if (reply.rv != SCARD_S_SUCCESS) {
            *recvLength = 0;
            return reply.rv;
        }
        if (reply.response.size() > *recvLength) {
            return SCARD_E_INSUFFICIENT_BUFFER;
        }
        std::copy(reply.response.begin(), reply.response.end(), recv);
        *recvLength = static_cast<DWORD>(reply.response.size());
        return SCARD_S_SUCCESS;
    }
    void pause(DWORD) override { ++pauses; }

    void answer(std::vector<std::uint8_t> response) {
        replies.push_back({SCARD_S_SUCCESS, std::move(response)});
    }
    void fail(LONG rv) { replies.push_back({rv, {}}); }
};

// Hex text to bytes ("00A4 000C" style, spaces ignored) for readable expectations.
std::vector<std::uint8_t> bytes(const std::string& hex);

}  // namespace cardolo::testing
