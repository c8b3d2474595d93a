#pragma once

// The reference counting and interface lookup every reporter object shares:
// derive from TInterfaced<IFoo> and implement IFoo's own operations.

#include <unknwn.h>

#include <atomic>

template <class Interface>
class TInterfaced : public Interface {
public:
    TInterfaced() = default;
    TInterfaced(const TInterfaced&) = delete;
    TInterfaced& operator=(const TInterfaced&) = delete;
    virtual ~TInterfaced() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object)
            return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(Interface)) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

private:
    std::atomic<ULONG> refs_{0};
};
