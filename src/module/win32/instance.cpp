// The instance that Tarnwick.dll hands out on Windows: the portable add-in object plus what COM
// clients of a control-like automation object look for: connection points, class information
// and type information from the embedded type library. No event is ever fired.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "addin/class_factory.h"
#include "addin/addin_object.h"
#include "addin/module.h"
#include "module/win32/module_win32.h"

namespace {

HRESULT load_type_info(REFGUID guid, ITypeInfo** info) {
    *info = nullptr;
    ITypeLib* library = nullptr;
    HRESULT hr = load_tarnwick_type_library(&library);
    if (FAILED(hr)) return hr;
    hr = library->GetTypeInfoOfGuid(guid, info);
    library->Release();
    return hr;
}

// A snapshot enumerator over items that each carry a counted reference (`Item` is what Next
// hands out, `Stored` what the snapshot keeps). Clones share the snapshot.
template <class Enum, class Item, class Stored>
class snapshot_enumerator final : public Enum {
public:
    using copy_fn = void (*)(const Stored&, Item&);  // fills an item with its own reference

    snapshot_enumerator(const IID& iid, std::shared_ptr<const std::vector<Stored>> items, copy_fn copy,
                        size_t position = 0)
        : iid_(iid), items_(std::move(items)), copy_(copy), position_(position) {
        tarnwick_module().lock();
    }
    ~snapshot_enumerator() { tarnwick_module().unlock(); }
    snapshot_enumerator(const snapshot_enumerator&) = delete;
    snapshot_enumerator& operator=(const snapshot_enumerator&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, iid_)) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<Enum*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG count, Item* items, ULONG* fetched) override {
        if (!items || (count != 1 && !fetched)) return E_POINTER;
        ULONG done = 0;
        for (; done < count && position_ < items_->size(); ++done, ++position_) copy_((*items_)[position_], items[done]);
        if (fetched) *fetched = done;
        return done == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        size_t left = items_->size() - position_;
        position_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(Enum** copy) override {
        if (!copy) return E_POINTER;
        *copy = new (std::nothrow) snapshot_enumerator(iid_, items_, copy_, position_);
        return *copy ? S_OK : E_OUTOFMEMORY;
    }

private:
    const IID& iid_;
    std::shared_ptr<const std::vector<Stored>> items_;
    copy_fn copy_;
    size_t position_;
    std::atomic<ULONG> references_{1};
};

struct advised_sink {
    DWORD cookie;
    com_ptr<IUnknown> sink;
};

// One source of outgoing calls: keeps the advised sinks, each under its own cookie. It lives
// inside its container and counts its references there.
class connection_point final : public IConnectionPoint {
public:
    connection_point(IConnectionPointContainer* container, const IID& iid) : container_(container), iid_(iid) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IConnectionPoint)) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return container_->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return container_->Release(); }

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
        if (!iid) return E_POINTER;
        *iid = iid_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override {
        if (!container) return E_POINTER;
        *container = container_;
        container_->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
        if (!cookie) return E_POINTER;
        *cookie = 0;
        if (!sink) return E_POINTER;
        IUnknown* typed = nullptr;
        if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(&typed))) || !typed)
            return CONNECT_E_CANNOTCONNECT;
        try {
            sinks_.push_back({next_cookie_, com_ptr<IUnknown>::attach(typed)});
        } catch (const std::bad_alloc&) {
            typed->Release();
            return E_OUTOFMEMORY;
        }
        *cookie = next_cookie_++;
        if (next_cookie_ == 0) next_cookie_ = 1;  // 0 is never a valid cookie
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
        for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
            if (it->cookie != cookie) continue;
            com_ptr<IUnknown> sink = std::move(it->sink);  // released after the list is consistent
            sinks_.erase(it);
            return S_OK;
        }
        return CONNECT_E_NOCONNECTION;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override {
        if (!connections) return E_POINTER;
        *connections = nullptr;
        try {
            auto items = std::make_shared<std::vector<advised_sink>>(sinks_);
            *connections = new snapshot_enumerator<IEnumConnections, CONNECTDATA, advised_sink>(
                IID_IEnumConnections, std::move(items), [](const advised_sink& from, CONNECTDATA& to) {
                    to.pUnk = from.sink.get();
                    to.pUnk->AddRef();
                    to.dwCookie = from.cookie;
                });
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

private:
    IConnectionPointContainer* container_;  // the owner; not counted, it outlives this point
    const IID& iid_;
    std::vector<advised_sink> sinks_;
    DWORD next_cookie_ = 1;
};

class tarnwick_instance final : public CMailerInterfaceTest,
                                public IConnectionPointContainer,
                                public IProvideClassInfo2 {
public:
    tarnwick_instance()
        : events_(this, DIID__IMailerInterfaceTestEvents), property_notify_(this, IID_IPropertyNotifySink) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (IsEqualIID(iid, IID_IConnectionPointContainer)) {
            *object = static_cast<IConnectionPointContainer*>(this);
        } else if (IsEqualIID(iid, IID_IProvideClassInfo2) || IsEqualIID(iid, IID_IProvideClassInfo)) {
            *object = static_cast<IProvideClassInfo2*>(this);
        } else {
            return CMailerInterfaceTest::QueryInterface(iid, object);
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return CMailerInterfaceTest::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return CMailerInterfaceTest::Release(); }

    // Type information of IMailerInterfaceTest, from the embedded type library.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        ITypeInfo* info = nullptr;
        *count = SUCCEEDED(load_type_info(IID_IMailerInterfaceTest, &info)) ? 1 : 0;
        if (info) info->Release();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        if (!info) return E_POINTER;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        return load_type_info(IID_IMailerInterfaceTest, info);
    }

    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override {
        if (!points) return E_POINTER;
        *points = nullptr;
        try {
            // The snapshot holds references on the points, and so keeps this instance alive.
            auto items = std::make_shared<std::vector<com_ptr<IConnectionPoint>>>();
            items->emplace_back(&events_);
            items->emplace_back(&property_notify_);
            *points = new snapshot_enumerator<IEnumConnectionPoints, IConnectionPoint*, com_ptr<IConnectionPoint>>(
                IID_IEnumConnectionPoints, std::move(items),
                [](const com_ptr<IConnectionPoint>& from, IConnectionPoint*& to) {
                    to = from.get();
                    to->AddRef();
                });
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
        if (!point) return E_POINTER;
        *point = nullptr;
        if (IsEqualIID(iid, DIID__IMailerInterfaceTestEvents)) *point = &events_;
        else if (IsEqualIID(iid, IID_IPropertyNotifySink)) *point = &property_notify_;
        else return CONNECT_E_NOCONNECTION;
        (*point)->AddRef();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override {
        if (!info) return E_POINTER;
        return load_type_info(CLSID_CMailerInterfaceTest, info);
    }
    HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* guid) override {
        if (!guid) return E_POINTER;
        if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
            *guid = GUID_NULL;
            return E_INVALIDARG;
        }
        *guid = DIID__IMailerInterfaceTestEvents;
        return S_OK;
    }

private:
    connection_point events_;
    connection_point property_notify_;
};

}  // namespace

HRESULT tarnwick_create_instance(REFIID iid, void** object) {
    return create_instance_of<tarnwick_instance>(iid, object);
}
