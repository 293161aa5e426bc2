// The COM interfaces of the observer objects and of the server's emergency handler, with their
// class and interface ids. Every method takes a record owned by the caller and returns an HRESULT.
#pragma once

#include "interfaces/QNResourceAgentRecords.h"
#include "platform/Com.h"

inline constexpr CLSID CLSID_QNResourceObserver = {0xDB1C4065, 0xD726, 0x4CD1, {0x8C, 0xC3, 0xF1, 0x92, 0x3C, 0x31, 0x37, 0x6B}};
inline constexpr CLSID CLSID_QNSystemResourceObserver = {0x9B20FA25, 0xE213, 0x42BE, {0xB4, 0x13, 0x16, 0xF0, 0xCD, 0xC3, 0x31, 0x64}};

struct IQNResourceObserver : IUnknown {
    static constexpr IID kIid = {0xC0A048A5, 0xB561, 0x46A8, {0xA7, 0xCD, 0x5A, 0x9B, 0xE6, 0xCF, 0x5D, 0x86}};
    virtual HRESULT SetProcessResourceInfo(const tagQNResourceInformation* info) = 0;
    virtual HRESULT RaiseProcessResourceEmergencyEvent(const tagQNProcessResourceEmergencyEvent* event) = 0;
    virtual HRESULT NotifyProcessResourceAlert(const tagQNProcessResourceAlert* alert) = 0;

protected:
    ~IQNResourceObserver() = default;
};

// The resource observer of agents that also send the ceilings the kernel holds each process to.
// An object that offers it offers IQNResourceObserver too.
struct IQNResourceObserver2 : IQNResourceObserver {
    static constexpr IID kIid = {0x5E0F3A41, 0x2C8B, 0x4E7D, {0x9A, 0x61, 0x3B, 0xD4, 0x07, 0xC2, 0x8E, 0x15}};
    using Base = IQNResourceObserver;
    // SetProcessResourceInfo with the process's ceilings measured at the same moment.
    virtual HRESULT SetProcessResourceInfo2(const tagQNResourceInformation* info, const tagQNProcessCeilings* ceilings) = 0;

protected:
    ~IQNResourceObserver2() = default;
};

struct IQNEmergencyObserver : IUnknown {
    static constexpr IID kIid = {0x167187DF, 0xA14A, 0x493F, {0xA9, 0x4E, 0x81, 0x13, 0xCD, 0xDA, 0xF9, 0x1A}};
    virtual HRESULT RaiseGlobalEmergencyEvent(const tagQNProcessServerEmergencyEvent* event) = 0;

protected:
    ~IQNEmergencyObserver() = default;
};

struct IQNSystemResourceObserver : IUnknown {
    static constexpr IID kIid = {0xC21AFD5A, 0x75BA, 0x4375, {0x8A, 0x2E, 0x23, 0xB2, 0x8B, 0x9D, 0xB2, 0xE0}};
    virtual HRESULT SetSystemResourceData(const tagQNSystemResourceInformation* info) = 0;
    virtual HRESULT RaiseSystemResourceEmergencyEvent(const tagQNSystemResourceEmergencyEvent* event) = 0;
    virtual HRESULT NotifySystemResourceAlert(const tagQNSystemResourceAlert* alert) = 0;

protected:
    ~IQNSystemResourceObserver() = default;
};

// The system observer of resource observers that also send their machine's pressure. An object
// that offers it offers IQNSystemResourceObserver too.
struct IQNSystemResourceObserver2 : IQNSystemResourceObserver {
    static constexpr IID kIid = {0x3D7C9E12, 0x6A4F, 0x4B8E, {0x91, 0x2D, 0x7E, 0x05, 0xC4, 0xA8, 0x36, 0xF1}};
    using Base = IQNSystemResourceObserver;
    // SetSystemResourceData with the machine's pressure read in the same cycle.
    virtual HRESULT SetSystemResourceData2(const tagQNSystemResourceInformation* info, const tagQNMachinePressure* pressure) = 0;

protected:
    ~IQNSystemResourceObserver2() = default;
};

// The system observer of resource observers that also send the OOM kills among their machine's
// server processes. An object that offers it offers IQNSystemResourceObserver2 too.
struct IQNSystemResourceObserver3 : IQNSystemResourceObserver2 {
    static constexpr IID kIid = {0x8B41D2C7, 0x0E93, 0x4F5A, {0xB6, 0x27, 0x4C, 0x19, 0xE8, 0x7D, 0xA0, 0x53}};
    using Base = IQNSystemResourceObserver2;
    // SetSystemResourceData2 with the machine's OOM kills.
    virtual HRESULT SetSystemResourceData3(const tagQNSystemResourceInformation* info, const tagQNMachinePressure* pressure,
                                           const tagQNMachineOomKills* oomKills) = 0;

protected:
    ~IQNSystemResourceObserver3() = default;
};

struct IQNSystemEmergencyObserver : IUnknown {
    static constexpr IID kIid = {0xFBBBC18C, 0x2E75, 0x4C29, {0xBF, 0x3D, 0xD2, 0x99, 0xAC, 0xD5, 0x50, 0x05}};
    virtual HRESULT RaiseGlobalEmergencyEvent(const tagQNSystemServerEmergencyEvent* event) = 0;

protected:
    ~IQNSystemEmergencyObserver() = default;
};

// Implemented by the server program and registered with XResourceEmergencyHandler.
struct IQNOPXServerEmergencyHandler : IUnknown {
    // Not called by the library; kept so that HandleServerEmergency stays the second method.
    virtual HRESULT GetHandlerInfo(BSTR* description) = 0;
    // S_OK: handled; another success code: accepted, not handled; a failure drops the handler.
    virtual HRESULT HandleServerEmergency(LONG code) = 0;

protected:
    ~IQNOPXServerEmergencyHandler() = default;
};
