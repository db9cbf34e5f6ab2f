/* A C caller of crvk2plg.so: reaches every slot through the tables the public header documents
 * (no C++ involved), as a PKCS#11 module written in C would. Usage: layout_c_test PATH.so */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "crvk2plg.h"

static int failures = 0;

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                        \
        }                                                                      \
    } while (0)

static const uint8_t kKey[24] = {0x5E, 0x1A, 0x9C, 0x03, 0xD2, 0x7B, 0x48, 0x6F,
                                 0x0C, 0x93, 0xA1, 0x5E, 0x7D, 0x2B, 0x64, 0xF8,
                                 0x01, 0x9E, 0x3C, 0x57, 0xA2, 0xD6, 0xB4, 0x0F};

typedef int32_t (*HresultFn)(void);

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s crvk2plg.so\n", argv[0]);
        return 2;
    }
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
        fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
        return 1;
    }
    crvk2GetPluginInterfaceV1Fn getV1 =
        (crvk2GetPluginInterfaceV1Fn)dlsym(lib, "crvk2GetPluginInterfaceV1");
    crvk2GetPlgV4Fn getV4 = (crvk2GetPlgV4Fn)dlsym(lib, "crvk2GetPlgV4");
    HresultFn canUnload = (HresultFn)dlsym(lib, "DllCanUnloadNow");
    CHECK(getV1 != NULL && getV4 != NULL && canUnload != NULL);
    if (failures) {
        return 1;
    }

    /* The static object: slots 0, 1 and 5. */
    IPinPluginV1* v1 = getV1();
    const struct crvk2PlgV1Vtbl* t1 = CRVK2PLG_V1_VTBL(v1);
    CHECK(t1->Release(v1) == -1);
    CHECK(t1->AddRef(v1) == 1);
    CHECK(t1->AddRef(v1) == 2);
    CHECK(t1->Release(v1) == 1);
    CHECK(t1->Release(v1) == 0);
    uint8_t key[24];
    memset(key, 0, sizeof key);
    CHECK(t1->GetKey(v1, key) == 0 && memcmp(key, kKey, 24) == 0);

    /* The per-call object: every level's slot through the one table. */
    CHECK(canUnload() == 0);
    IPinPluginV4* p = getV4();
    CHECK(p != NULL);
    if (p == NULL) {
        return 1;
    }
    const struct crvk2PlgV4Vtbl* t = CRVK2PLG_V4_VTBL(p);
    CHECK(t->SetValue(p, 0x12345678u) == 0);
    CHECK(t->LockCount(p) == 1);
    CHECK(canUnload() == 1); /* S_FALSE */
    IPinPluginV4* q = getV4();
    CHECK(t->LockCount(p) == 2);
    CRVK2PLG_V4_VTBL(q)->Release(q);
    CHECK(t->LockCount(p) == 1);
    memset(key, 0, sizeof key);
    CHECK(t->GetKey(p, key) == 0 && memcmp(key, kKey, 24) == 0);
    memset(key, 0, sizeof key);
    CHECK(t->GetKeyAgain(p, key) == 0 && memcmp(key, kKey, 24) == 0);
    char b1[8] = "xxxxxxx", b2[8] = "yyyyyyy";
    CHECK(t->Request(p, 6, b1, 8, b2, 8) == -1); /* refused before anything is shown */
    CHECK(t->Request(p, -1, b1, 8, b2, 8) == -1);
    CHECK(strcmp(b1, "xxxxxxx") == 0 && strcmp(b2, "yyyyyyy") == 0);
    CHECK(t->Notify(p, 2) == 0); /* an event without a box */
    /* No display at all (this test runs without one): the dialogs are cancelled and the boxes
     * answer 0 at once, nothing waits for a user. */
    CHECK(t->Request(p, 0, b1, 8, b2, 8) == -1);
    CHECK(t->Request(p, 4, b1, 8, b2, 8) == -1);
    CHECK(strcmp(b1, "xxxxxxx") == 0 && strcmp(b2, "yyyyyyy") == 0);
    CHECK(t->Notify(p, 8) == 0);
    CHECK(t->Notify(p, 24) == 0);
    CHECK(t->AskRetry(p) == 0);
    CHECK(t->ShowMessage(p, "text", "caption", 0x30) == 0);
    CHECK(t1->AskPin(v1, b1, 8) == -1);
    CHECK(t->Release(p) == 0);
    CHECK(canUnload() == 0);

    if (failures == 0) {
        printf("crvk2plg layout from C: all slots reached\n");
    }
    return failures == 0 ? 0 : 1;
}
