// IMarshal, the interface the free-threaded marshaler answers.
#pragma once

#include "win/unknwn.h"

struct IStream;

struct IMarshal : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID riid, void* object,
                                                        DWORD destContext, void* reserved,
                                                        DWORD flags, CLSID* clsid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID riid, void* object,
                                                        DWORD destContext, void* reserved,
                                                        DWORD flags, DWORD* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE MarshalInterface(IStream* stream, REFIID riid, void* object,
                                                       DWORD destContext, void* reserved,
                                                       DWORD flags) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream* stream, REFIID riid,
                                                         void** object) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream* stream) = 0;
    virtual HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD reserved) = 0;
};

inline constexpr IID IID_IMarshal = {0x00000003, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
