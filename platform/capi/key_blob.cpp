// Bounds-checked parsing of the CryptoAPI key blobs and their header writers.
#include "key_blob.h"

#include <cstring>

#include "capi_error.h"

namespace vantor::capi {

namespace {

DWORD readDword(std::span<const std::uint8_t> blob, std::size_t offset) {
    DWORD v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | blob[offset + static_cast<std::size_t>(i)];
    }
    return v;
}

}  // namespace

BlobHeader readBlobHeader(std::span<const std::uint8_t> blob) {
    if (blob.size() < kBlobHeaderSize) {
        fail(NTE_BAD_DATA);
    }
    return BlobHeader{blob[0], blob[1], readDword(blob, 4)};
}

void writeBlobHeader(std::uint8_t* out, BYTE type, ALG_ID alg) {
    out[0] = type;
    out[1] = static_cast<std::uint8_t>(CUR_BLOB_VERSION);
    out[2] = 0;
    out[3] = 0;
    for (int i = 0; i < 4; ++i) {
        out[4 + i] = static_cast<std::uint8_t>(alg >> (8 * i));
    }
}

std::size_t publicBlobSize(DWORD bits) {
    return kRsaHeaderSize + bits / 8;
}

std::size_t privateBlobSize(DWORD bits) {
    return kRsaHeaderSize + bits / 8 + 5 * (bits / 16) + bits / 8;
}

RsaBlobView parseRsaBlob(std::span<const std::uint8_t> blob) {
    RsaBlobView view;
    view.header = readBlobHeader(blob);
    if (view.header.type != PUBLICKEYBLOB && view.header.type != PRIVATEKEYBLOB) {
        fail(NTE_BAD_TYPE);
    }
    if (view.header.version != CUR_BLOB_VERSION) {
        fail(NTE_BAD_VER);
    }
    if (view.header.alg != CALG_RSA_KEYX && view.header.alg != CALG_RSA_SIGN) {
        fail(NTE_BAD_ALGID);
    }
    if (blob.size() < kRsaHeaderSize) {
        fail(NTE_BAD_DATA);
    }
    view.hasPrivate = view.header.type == PRIVATEKEYBLOB;
    const DWORD magic = readDword(blob, 8);
    view.bitLength = readDword(blob, 12);
    view.publicExponent = readDword(blob, 16);
    if (magic != (view.hasPrivate ? RSA2_MAGIC : RSA1_MAGIC)) {
        fail(NTE_BAD_DATA);
    }
    // Half-size components need a bit length that is a whole number of 16-bit units.
    if (view.bitLength < kMinRsaBits || view.bitLength > kMaxRsaBits || view.bitLength % 16 != 0 ||
        view.publicExponent == 0) {
        fail(NTE_BAD_DATA);
    }
    const std::size_t need =
        view.hasPrivate ? privateBlobSize(view.bitLength) : publicBlobSize(view.bitLength);
    if (blob.size() < need) {
        fail(NTE_BAD_DATA);
    }
    const std::size_t full = view.bitLength / 8;
    const std::size_t half = view.bitLength / 16;
    std::size_t at = kRsaHeaderSize;
    auto take = [&](std::size_t n) {
        auto part = blob.subspan(at, n);
        at += n;
        return part;
    };
    view.modulus = take(full);
    if (view.hasPrivate) {
        view.prime1 = take(half);
        view.prime2 = take(half);
        view.exponent1 = take(half);
        view.exponent2 = take(half);
        view.coefficient = take(half);
        view.privateExponent = take(full);
    }
    return view;
}

SimpleBlobView parseSimpleBlob(std::span<const std::uint8_t> blob) {
    SimpleBlobView view;
    view.header = readBlobHeader(blob);
    if (view.header.type != SIMPLEBLOB) {
        fail(NTE_BAD_TYPE);
    }
    if (view.header.version != CUR_BLOB_VERSION) {
        fail(NTE_BAD_VER);
    }
    if (blob.size() < kSimpleHeaderSize) {
        fail(NTE_BAD_DATA);
    }
    view.wrapAlg = readDword(blob, 8);
    view.wrapped = blob.subspan(kSimpleHeaderSize);
    return view;
}

PlainKeyBlobView parsePlainKeyBlob(std::span<const std::uint8_t> blob) {
    PlainKeyBlobView view;
    view.header = readBlobHeader(blob);
    if (view.header.type != PLAINTEXTKEYBLOB) {
        fail(NTE_BAD_TYPE);
    }
    if (view.header.version != CUR_BLOB_VERSION) {
        fail(NTE_BAD_VER);
    }
    if (blob.size() < kBlobHeaderSize + 4) {
        fail(NTE_BAD_DATA);
    }
    const DWORD size = readDword(blob, 8);
    if (size > blob.size() - (kBlobHeaderSize + 4)) {
        fail(NTE_BAD_DATA);
    }
    view.key = blob.subspan(kBlobHeaderSize + 4, size);
    return view;
}

}  // namespace vantor::capi
