/* crvk2plg.so: the PIN-dialog plug-in's interfaces, for C++ and C callers. */
#ifndef CRVK2PLG_H
#define CRVK2PLG_H

#include <stdint.h>

/*
 * Results: 0 / -1 (confirmed / cancelled or refused), 1 / 0 for the Yes/No and OK/Cancel
 * questions. Text buffers receive at most their stated length with a bounded string copy: a
 * text of that length or longer is NOT terminated (callers rely on the stated length). The
 * key buffer receives exactly 24 bytes.
 *
 * Request kinds (IPinPluginRequest::Request):
 *   0, 1, 2  PIN entry        buffer 1 = the PIN       buffer 2 untouched
 *   3        PIN unblock      buffer 1 = the new PIN   buffer 2 = the PUK
 *   4        PIN change       buffer 1 = the new PIN   buffer 2 = the old PIN
 *   5        PUK change       buffer 1 = the new PUK   buffer 2 = the old PUK
 * Notify events (IPinPluginV4::Notify): 0 done (information), 1 failed, 8 wrong PIN - retry?
 * (1 on Yes), 9 card locked, 10 card not initialised, 16 wrong PUK - retry? (1 on Yes),
 * 17 PUK locked, 24 confirm signature (1 on OK); any other event shows nothing and gives 0.
 *
 * Object layout under the Itanium C++ ABI (g++, clang; x86_64 Linux), which C callers use:
 *
 *   what                                 how a C caller reaches it
 *   -----------------------------------  ---------------------------------------------------
 *   P = crvk2GetPlgV4()                  the IPinPluginV4 pointer; its first word is the
 *                                        table pointer T = *(void *const **)P
 *   IPinPlugin* and IPinPluginRequest*   the SAME address P: each virtual base has nothing
 *                                        but a table pointer ("nearly empty"), so the ABI
 *                                        makes it the primary base and all three share the
 *                                        one table pointer at offset 0
 *   IPinPlugin slots 0..7                T[0] .. T[7]
 *   IPinPluginRequest::Request           T[8]
 *   IPinPluginV4::Notify                 T[9]
 *   every slot                           called as fn(P, arguments...) (this pointer first,
 *                                        the ordinary C calling convention; no hidden result)
 *   V = crvk2GetPluginInterfaceV1()      first word = its table; slots 0..5 at index 0..5
 *
 * The words before T[0] (offset to top, type information, virtual-base offsets) belong to the
 * ABI and are not part of this contract. struct crvk2PlgV4Vtbl / crvk2PlgV1Vtbl below spell
 * the tables out for C. (A Windows build lays the same interfaces out differently: there each
 * interface pointer has its own table holding only its level's operations.)
 */

#ifdef __cplusplus

/* The older interface of the library's one static object; the object is never destroyed. */
class IPinPluginV1 {
  public:
    virtual int32_t AddRef() = 0;                                                  /* 0 */
    virtual int32_t Release() = 0; /* -1, count unchanged, when it is already 0 */ /* 1 */
    virtual int32_t ShowMessage(const char* text, const char* caption, uint32_t type) = 0;
    virtual int32_t AskRetry() = 0;                            /* 3 */
    virtual int32_t AskPin(char* buffer, uint32_t length) = 0; /* 4 */
    virtual int32_t GetKey(uint8_t* key24) = 0;                /* 5 */

  protected:
    ~IPinPluginV1() = default; /* not virtual: the slot order is the contract */
};

/* The base level of the per-call object. Release destroys the whole object at once. */
class IPinPlugin {
  public:
    virtual int32_t SetValue(uint32_t value) = 0; /* 0 */
    virtual int32_t Release() = 0;                /* 1 */
    virtual int32_t ShowMessage(const char* text, const char* caption, uint32_t type) = 0;
    virtual int32_t AskRetry() = 0;                            /* 3 */
    virtual int32_t AskPin(char* buffer, uint32_t length) = 0; /* 4 */
    virtual int32_t GetKey(uint8_t* key24) = 0;                /* 5 */
    virtual int32_t GetKeyAgain(uint8_t* key24) = 0;           /* 6 */
    virtual int32_t LockCount() = 0;                           /* 7 */

  protected:
    ~IPinPlugin() = default;
};

class IPinPluginRequest : public virtual IPinPlugin {
  public:
    virtual int32_t Request(int32_t kind, char* buffer1, uint32_t length1, char* buffer2,
                            uint32_t length2) = 0;

  protected:
    ~IPinPluginRequest() = default;
};

class IPinPluginV4 : public virtual IPinPluginRequest {
  public:
    virtual int32_t Notify(int32_t event) = 0;

  protected:
    ~IPinPluginV4() = default;
};

extern "C" {
#else
typedef struct IPinPluginV1 IPinPluginV1;
typedef struct IPinPluginV4 IPinPluginV4;
#endif

/* The tables as C sees them: T points at the first member. */
struct crvk2PlgV1Vtbl {
    int32_t (*AddRef)(void* self);
    int32_t (*Release)(void* self);
    int32_t (*ShowMessage)(void* self, const char* text, const char* caption, uint32_t type);
    int32_t (*AskRetry)(void* self);
    int32_t (*AskPin)(void* self, char* buffer, uint32_t length);
    int32_t (*GetKey)(void* self, uint8_t* key24);
};

struct crvk2PlgV4Vtbl {
    /* IPinPlugin */
    int32_t (*SetValue)(void* self, uint32_t value);
    int32_t (*Release)(void* self);
    int32_t (*ShowMessage)(void* self, const char* text, const char* caption, uint32_t type);
    int32_t (*AskRetry)(void* self);
    int32_t (*AskPin)(void* self, char* buffer, uint32_t length);
    int32_t (*GetKey)(void* self, uint8_t* key24);
    int32_t (*GetKeyAgain)(void* self, uint8_t* key24);
    int32_t (*LockCount)(void* self);
    /* IPinPluginRequest */
    int32_t (*Request)(void* self, int32_t kind, char* buffer1, uint32_t length1, char* buffer2,
                       uint32_t length2);
    /* IPinPluginV4 */
    int32_t (*Notify)(void* self, int32_t event);
};

/* The table of an object returned by the exports, for C callers. */
#define CRVK2PLG_V4_VTBL(p) (*(const struct crvk2PlgV4Vtbl* const*)(const void*)(p))
#define CRVK2PLG_V1_VTBL(p) (*(const struct crvk2PlgV1Vtbl* const*)(const void*)(p))

/* The static object's interface; no count is changed. */
IPinPluginV1* crvk2GetPluginInterfaceV1(void);
/* A new object (raises the module lock count until its Release), or null without memory. */
IPinPluginV4* crvk2GetPlgV4(void);

typedef IPinPluginV1* (*crvk2GetPluginInterfaceV1Fn)(void);
typedef IPinPluginV4* (*crvk2GetPlgV4Fn)(void);

#ifdef __cplusplus
}
#endif

#endif /* CRVK2PLG_H */
