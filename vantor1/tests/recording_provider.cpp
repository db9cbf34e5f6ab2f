// A stand-in provider image for the forwarder test: every entry point records its name and its
// arguments' bits, sets a last-error code of its own and returns a value that is not TRUE, so
// the test sees whether the forwarder passes all three through unchanged.
#include <cstdint>
#include <cstring>

#include "entry_points.h"
#include "win/errhandlingapi.h"

namespace {

struct Recording {
    const char* name = nullptr;
    std::uint64_t args[8] = {};
    int count = 0;
    long calls = 0;  // across the image's life: a reload would start again at 0
};
Recording recording;

template <typename... A>
BOOL record(const char* name, A... args) {
    recording.name = name;
    recording.count = 0;
    ((recording.args[recording.count++] = vantor1test::toBits(args)), ...);
    ++recording.calls;
    // A result and a last error that no real call would give together.
    const auto code = static_cast<BOOL>(0x5A00 + std::strlen(name));
    SetLastError(0xE0000000u | static_cast<DWORD>(code));
    return code;
}

}  // namespace

// The last call: its name, its arguments (up to 8) and how many calls the image has served.
VANTOR_EXPORT const char* RecordingLastCall(std::uint64_t* args, int* count, long* calls) {
    std::memcpy(args, recording.args, sizeof recording.args);
    *count = recording.count;
    *calls = recording.calls;
    return recording.name;
}

VANTOR_EXPORT BOOL CPAcquireContext(HCRYPTPROV* a, LPCSTR b, DWORD c, PVTableProvStruc d) {
    return record("CPAcquireContext", a, b, c, d);
}
VANTOR_EXPORT BOOL CPCreateHash(HCRYPTPROV a, ALG_ID b, HCRYPTKEY c, DWORD d, HCRYPTHASH* e) {
    return record("CPCreateHash", a, b, c, d, e);
}
VANTOR_EXPORT BOOL CPDecrypt(HCRYPTPROV a, HCRYPTKEY b, HCRYPTHASH c, BOOL d, DWORD e, BYTE* f,
                             DWORD* g) {
    return record("CPDecrypt", a, b, c, d, e, f, g);
}
VANTOR_EXPORT BOOL CPDeriveKey(HCRYPTPROV a, ALG_ID b, HCRYPTHASH c, DWORD d, HCRYPTKEY* e) {
    return record("CPDeriveKey", a, b, c, d, e);
}
VANTOR_EXPORT BOOL CPDestroyHash(HCRYPTPROV a, HCRYPTHASH b) {
    return record("CPDestroyHash", a, b);
}
VANTOR_EXPORT BOOL CPDestroyKey(HCRYPTPROV a, HCRYPTKEY b) {
    return record("CPDestroyKey", a, b);
}
VANTOR_EXPORT BOOL CPEncrypt(HCRYPTPROV a, HCRYPTKEY b, HCRYPTHASH c, BOOL d, DWORD e, BYTE* f,
                             DWORD* g, DWORD h) {
    return record("CPEncrypt", a, b, c, d, e, f, g, h);
}
VANTOR_EXPORT BOOL CPExportKey(HCRYPTPROV a, HCRYPTKEY b, HCRYPTKEY c, DWORD d, DWORD e, BYTE* f,
                               DWORD* g) {
    return record("CPExportKey", a, b, c, d, e, f, g);
}
VANTOR_EXPORT BOOL CPGenKey(HCRYPTPROV a, ALG_ID b, DWORD c, HCRYPTKEY* d) {
    return record("CPGenKey", a, b, c, d);
}
VANTOR_EXPORT BOOL CPGenRandom(HCRYPTPROV a, DWORD b, BYTE* c) {
    return record("CPGenRandom", a, b, c);
}
VANTOR_EXPORT BOOL CPGetHashParam(HCRYPTPROV a, HCRYPTHASH b, DWORD c, BYTE* d, DWORD* e, DWORD f) {
    return record("CPGetHashParam", a, b, c, d, e, f);
}
VANTOR_EXPORT BOOL CPGetKeyParam(HCRYPTPROV a, HCRYPTKEY b, DWORD c, BYTE* d, DWORD* e, DWORD f) {
    return record("CPGetKeyParam", a, b, c, d, e, f);
}
VANTOR_EXPORT BOOL CPGetProvParam(HCRYPTPROV a, DWORD b, BYTE* c, DWORD* d, DWORD e) {
    return record("CPGetProvParam", a, b, c, d, e);
}
VANTOR_EXPORT BOOL CPGetUserKey(HCRYPTPROV a, DWORD b, HCRYPTKEY* c) {
    return record("CPGetUserKey", a, b, c);
}
VANTOR_EXPORT BOOL CPHashData(HCRYPTPROV a, HCRYPTHASH b, const BYTE* c, DWORD d, DWORD e) {
    return record("CPHashData", a, b, c, d, e);
}
VANTOR_EXPORT BOOL CPHashSessionKey(HCRYPTPROV a, HCRYPTHASH b, HCRYPTKEY c, DWORD d) {
    return record("CPHashSessionKey", a, b, c, d);
}
VANTOR_EXPORT BOOL CPImportKey(HCRYPTPROV a, const BYTE* b, DWORD c, HCRYPTKEY d, DWORD e,
                               HCRYPTKEY* f) {
    return record("CPImportKey", a, b, c, d, e, f);
}
VANTOR_EXPORT BOOL CPReleaseContext(HCRYPTPROV a, DWORD b) {
    return record("CPReleaseContext", a, b);
}
VANTOR_EXPORT BOOL CPSetHashParam(HCRYPTPROV a, HCRYPTHASH b, DWORD c, const BYTE* d, DWORD e) {
    return record("CPSetHashParam", a, b, c, d, e);
}
VANTOR_EXPORT BOOL CPSetKeyParam(HCRYPTPROV a, HCRYPTKEY b, DWORD c, const BYTE* d, DWORD e) {
    return record("CPSetKeyParam", a, b, c, d, e);
}
VANTOR_EXPORT BOOL CPSetProvParam(HCRYPTPROV a, DWORD b, const BYTE* c, DWORD d) {
    return record("CPSetProvParam", a, b, c, d);
}
VANTOR_EXPORT BOOL CPSignHash(HCRYPTPROV a, HCRYPTHASH b, DWORD c, LPCWSTR d, DWORD e, BYTE* f,
                              DWORD* g) {
    return record("CPSignHash", a, b, c, d, e, f, g);
}
VANTOR_EXPORT BOOL CPVerifySignature(HCRYPTPROV a, HCRYPTHASH b, const BYTE* c, DWORD d,
                                     HCRYPTKEY e, LPCWSTR f, DWORD g) {
    return record("CPVerifySignature", a, b, c, d, e, f, g);
}
