// Windows error codes, HRESULTs and the smart-card (SCARD_*) result codes the suite uses.
#pragma once

#include "win/windef.h"

// Win32 error codes (GetLastError).
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_FORMAT 11L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NOT_OWNER 288L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_BADDB 1009L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_KEY_DELETED 1018L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815L
#define ERROR_CANCELLED 1223L

// HRESULTs.
#define S_OK static_cast<HRESULT>(0)
#define S_FALSE static_cast<HRESULT>(1)
#define E_NOTIMPL static_cast<HRESULT>(0x80004001u)
#define E_NOINTERFACE static_cast<HRESULT>(0x80004002u)
#define E_POINTER static_cast<HRESULT>(0x80004003u)
#define E_ABORT static_cast<HRESULT>(0x80004004u)
#define E_FAIL static_cast<HRESULT>(0x80004005u)
#define E_UNEXPECTED static_cast<HRESULT>(0x8000FFFFu)
#define E_ACCESSDENIED static_cast<HRESULT>(0x80070005u)
#define E_HANDLE static_cast<HRESULT>(0x80070006u)
#define E_OUTOFMEMORY static_cast<HRESULT>(0x8007000Eu)
#define E_INVALIDARG static_cast<HRESULT>(0x80070057u)

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define HRESULT_FROM_WIN32(x)      \
    (static_cast<HRESULT>(x) <= 0  \
         ? static_cast<HRESULT>(x) \
         : static_cast<HRESULT>((static_cast<DWORD>(x) & 0x0000FFFFu) | (7u << 16) | 0x80000000u))

// Smart-card codes. Windows declares them as DWORD; they are LONG here because every SCard*
// call returns LONG, and comparing like with like keeps the sign warnings away.
#define SCARD_S_SUCCESS static_cast<LONG>(0)
#define SCARD_F_INTERNAL_ERROR static_cast<LONG>(0x80100001u)
#define SCARD_E_CANCELLED static_cast<LONG>(0x80100002u)
#define SCARD_E_INVALID_HANDLE static_cast<LONG>(0x80100003u)
#define SCARD_E_INVALID_PARAMETER static_cast<LONG>(0x80100004u)
#define SCARD_E_INVALID_TARGET static_cast<LONG>(0x80100005u)
#define SCARD_E_NO_MEMORY static_cast<LONG>(0x80100006u)
#define SCARD_F_WAITED_TOO_LONG static_cast<LONG>(0x80100007u)
#define SCARD_E_INSUFFICIENT_BUFFER static_cast<LONG>(0x80100008u)
#define SCARD_E_UNKNOWN_READER static_cast<LONG>(0x80100009u)
#define SCARD_E_TIMEOUT static_cast<LONG>(0x8010000Au)
#define SCARD_E_SHARING_VIOLATION static_cast<LONG>(0x8010000Bu)
#define SCARD_E_NO_SMARTCARD static_cast<LONG>(0x8010000Cu)
#define SCARD_E_UNKNOWN_CARD static_cast<LONG>(0x8010000Du)
#define SCARD_E_CANT_DISPOSE static_cast<LONG>(0x8010000Eu)
#define SCARD_E_PROTO_MISMATCH static_cast<LONG>(0x8010000Fu)
#define SCARD_E_NOT_READY static_cast<LONG>(0x80100010u)
#define SCARD_E_INVALID_VALUE static_cast<LONG>(0x80100011u)
#define SCARD_E_SYSTEM_CANCELLED static_cast<LONG>(0x80100012u)
#define SCARD_F_COMM_ERROR static_cast<LONG>(0x80100013u)
#define SCARD_F_UNKNOWN_ERROR static_cast<LONG>(0x80100014u)
#define SCARD_E_INVALID_ATR static_cast<LONG>(0x80100015u)
#define SCARD_E_NOT_TRANSACTED static_cast<LONG>(0x80100016u)
#define SCARD_E_READER_UNAVAILABLE static_cast<LONG>(0x80100017u)
#define SCARD_P_SHUTDOWN static_cast<LONG>(0x80100018u)
#define SCARD_E_PCI_TOO_SMALL static_cast<LONG>(0x80100019u)
#define SCARD_E_READER_UNSUPPORTED static_cast<LONG>(0x8010001Au)
#define SCARD_E_DUPLICATE_READER static_cast<LONG>(0x8010001Bu)
#define SCARD_E_CARD_UNSUPPORTED static_cast<LONG>(0x8010001Cu)
#define SCARD_E_NO_SERVICE static_cast<LONG>(0x8010001Du)
#define SCARD_W_WRONG_CHV static_cast<LONG>(0x8010006Bu)
#define SCARD_E_SERVICE_STOPPED static_cast<LONG>(0x8010001Eu)
#define SCARD_E_UNEXPECTED static_cast<LONG>(0x8010001Fu)
#define SCARD_E_NO_READERS_AVAILABLE static_cast<LONG>(0x8010002Eu)
#define SCARD_E_NO_ACCESS static_cast<LONG>(0x80100027u)
#define SCARD_W_UNSUPPORTED_CARD static_cast<LONG>(0x80100065u)
#define SCARD_W_UNRESPONSIVE_CARD static_cast<LONG>(0x80100066u)
#define SCARD_W_UNPOWERED_CARD static_cast<LONG>(0x80100067u)
#define SCARD_W_RESET_CARD static_cast<LONG>(0x80100068u)
#define SCARD_W_REMOVED_CARD static_cast<LONG>(0x80100069u)

// Certificate decoding and certificate store codes (crypt32).
#define CRYPT_E_MSG_ERROR static_cast<HRESULT>(0x80091001u)
#define CRYPT_E_UNEXPECTED_ENCODING static_cast<HRESULT>(0x80091005u)
#define CRYPT_E_NOT_FOUND static_cast<HRESULT>(0x80092004u)
#define CRYPT_E_EXISTS static_cast<HRESULT>(0x80092005u)
#define CRYPT_E_NO_KEY_PROPERTY static_cast<HRESULT>(0x8009200Bu)
#define CRYPT_E_PENDING_CLOSE static_cast<HRESULT>(0x8009200Fu)
#define CRYPT_E_ASN1_EOD static_cast<HRESULT>(0x80093102u)
#define CRYPT_E_ASN1_CORRUPT static_cast<HRESULT>(0x80093103u)
#define CRYPT_E_ASN1_BADTAG static_cast<HRESULT>(0x8009310Bu)

// Registry and path errors.
#define ERROR_BAD_PATHNAME 161L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_NOACCESS 998L
#define ERROR_UNSUPPORTED_TYPE 1630L

// COM, registration and OLE Automation HRESULTs.
#define CLASS_E_NOAGGREGATION static_cast<HRESULT>(0x80040110u)
#define CLASS_E_CLASSNOTAVAILABLE static_cast<HRESULT>(0x80040111u)
#define REGDB_E_READREGDB static_cast<HRESULT>(0x80040150u)
#define REGDB_E_WRITEREGDB static_cast<HRESULT>(0x80040151u)
#define REGDB_E_CLASSNOTREG static_cast<HRESULT>(0x80040154u)
#define REGDB_E_IIDNOTREG static_cast<HRESULT>(0x80040155u)
#define SELFREG_E_TYPELIB static_cast<HRESULT>(0x80040200u)
#define SELFREG_E_CLASS static_cast<HRESULT>(0x80040201u)
#define CO_E_NOTINITIALIZED static_cast<HRESULT>(0x800401F0u)
#define CO_E_CLASSSTRING static_cast<HRESULT>(0x800401F3u)
#define CO_E_DLLNOTFOUND static_cast<HRESULT>(0x800401F8u)
#define CO_E_ERRORINDLL static_cast<HRESULT>(0x800401F9u)
#define DISP_E_UNKNOWNINTERFACE static_cast<HRESULT>(0x80020001u)
#define DISP_E_MEMBERNOTFOUND static_cast<HRESULT>(0x80020003u)
#define DISP_E_PARAMNOTFOUND static_cast<HRESULT>(0x80020004u)
#define DISP_E_TYPEMISMATCH static_cast<HRESULT>(0x80020005u)
#define DISP_E_UNKNOWNNAME static_cast<HRESULT>(0x80020006u)
#define DISP_E_NONAMEDARGS static_cast<HRESULT>(0x80020007u)
#define DISP_E_BADVARTYPE static_cast<HRESULT>(0x80020008u)
#define DISP_E_EXCEPTION static_cast<HRESULT>(0x80020009u)
#define DISP_E_OVERFLOW static_cast<HRESULT>(0x8002000Au)
#define DISP_E_BADINDEX static_cast<HRESULT>(0x8002000Bu)
#define DISP_E_UNKNOWNLCID static_cast<HRESULT>(0x8002000Cu)
#define DISP_E_ARRAYISLOCKED static_cast<HRESULT>(0x8002000Du)
#define DISP_E_BADPARAMCOUNT static_cast<HRESULT>(0x8002000Eu)
#define DISP_E_PARAMNOTOPTIONAL static_cast<HRESULT>(0x8002000Fu)
#define DISP_E_NOTACOLLECTION static_cast<HRESULT>(0x80020011u)
#define DISP_E_DIVBYZERO static_cast<HRESULT>(0x80020012u)
#define TYPE_E_REGISTRYACCESS static_cast<HRESULT>(0x8002801Cu)
#define TYPE_E_LIBNOTREGISTERED static_cast<HRESULT>(0x8002801Du)
#define TYPE_E_WRONGTYPEKIND static_cast<HRESULT>(0x8002802Au)
#define TYPE_E_ELEMENTNOTFOUND static_cast<HRESULT>(0x8002802Bu)
#define TYPE_E_BADMODULEKIND static_cast<HRESULT>(0x800288BDu)
#define TYPE_E_CANTLOADLIBRARY static_cast<HRESULT>(0x80029C4Au)

// Win32 codes used by CryptoAPI.
#define ERROR_BUSY 170L
#define ERROR_NOT_FOUND 1168L

// CryptoAPI provider results (NTE_*).
#define NTE_BAD_UID static_cast<HRESULT>(0x80090001u)
#define NTE_BAD_HASH static_cast<HRESULT>(0x80090002u)
#define NTE_BAD_KEY static_cast<HRESULT>(0x80090003u)
#define NTE_BAD_LEN static_cast<HRESULT>(0x80090004u)
#define NTE_BAD_DATA static_cast<HRESULT>(0x80090005u)
#define NTE_BAD_SIGNATURE static_cast<HRESULT>(0x80090006u)
#define NTE_BAD_VER static_cast<HRESULT>(0x80090007u)
#define NTE_BAD_ALGID static_cast<HRESULT>(0x80090008u)
#define NTE_BAD_FLAGS static_cast<HRESULT>(0x80090009u)
#define NTE_BAD_TYPE static_cast<HRESULT>(0x8009000Au)
#define NTE_BAD_KEY_STATE static_cast<HRESULT>(0x8009000Bu)
#define NTE_BAD_HASH_STATE static_cast<HRESULT>(0x8009000Cu)
#define NTE_NO_KEY static_cast<HRESULT>(0x8009000Du)
#define NTE_NO_MEMORY static_cast<HRESULT>(0x8009000Eu)
#define NTE_EXISTS static_cast<HRESULT>(0x8009000Fu)
#define NTE_PERM static_cast<HRESULT>(0x80090010u)
#define NTE_NOT_FOUND static_cast<HRESULT>(0x80090011u)
#define NTE_DOUBLE_ENCRYPT static_cast<HRESULT>(0x80090012u)
#define NTE_BAD_PROVIDER static_cast<HRESULT>(0x80090013u)
#define NTE_BAD_PROV_TYPE static_cast<HRESULT>(0x80090014u)
#define NTE_BAD_PUBLIC_KEY static_cast<HRESULT>(0x80090015u)
#define NTE_BAD_KEYSET static_cast<HRESULT>(0x80090016u)
#define NTE_PROV_TYPE_NOT_DEF static_cast<HRESULT>(0x80090017u)
#define NTE_PROV_TYPE_ENTRY_BAD static_cast<HRESULT>(0x80090018u)
#define NTE_KEYSET_NOT_DEF static_cast<HRESULT>(0x80090019u)
#define NTE_KEYSET_ENTRY_BAD static_cast<HRESULT>(0x8009001Au)
#define NTE_PROV_TYPE_NO_MATCH static_cast<HRESULT>(0x8009001Bu)
#define NTE_SIGNATURE_FILE_BAD static_cast<HRESULT>(0x8009001Cu)
#define NTE_PROVIDER_DLL_FAIL static_cast<HRESULT>(0x8009001Du)
#define NTE_PROV_DLL_NOT_FOUND static_cast<HRESULT>(0x8009001Eu)
#define NTE_BAD_KEYSET_PARAM static_cast<HRESULT>(0x8009001Fu)
#define NTE_FAIL static_cast<HRESULT>(0x80090020u)
#define NTE_NOT_SUPPORTED static_cast<HRESULT>(0x80090029u)
#define NTE_SYS_ERR static_cast<HRESULT>(0x80090021u)
