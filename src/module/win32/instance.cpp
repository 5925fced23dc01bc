// The instance that Tarnwick.dll hands out on Windows: the portable add-in object plus what COM
// clients of a control-like automation object look for: connection points, class information
// and type information from the embedded type library. No event is ever fired.
// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <ocidl.h>
#include <olectl.h>

#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "addin/addin_object.h"
#include "addin/class_factory.h"
#include "addin/module.h"
#include "module/win32/module_win32.h"
#include "platform/com_enum.h"
#include "platform/com_object.h"

namespace {

HRESULT load_type_info(REFGUID guid, ITypeInfo** info) {
    *info = nullptr;
    com_ptr<ITypeLib> library;
    HRESULT hr = load_tarnwick_type_library(library.put());
    if (FAILED(hr)) return hr;
    return library->GetTypeInfoOfGuid(guid, info);
}

// An enumerator handed out by the module: while it lives, the module stays loaded.
template <class Enum, const IID& Id, class Item>
class module_enumerator final : public com_enumerator<Enum, Id, Item> {
public:
    using items_ptr = typename com_enumerator<Enum, Id, Item>::items_ptr;

    explicit module_enumerator(items_ptr items, size_t position = 0)
        : com_enumerator<Enum, Id, Item>(std::move(items), position) {
        tarnwick_module().lock();
    }
    ~module_enumerator() override { tarnwick_module().unlock(); }

private:
    Enum* clone_at(size_t position) const override { return new module_enumerator(this->items(), position); }
};

struct advised_sink {
    DWORD cookie;
    com_ptr<IUnknown> sink;
};

// The sinks advised at one moment, each handed out with a reference of its own.
class sink_list final : public enum_items<CONNECTDATA> {
public:
    explicit sink_list(std::vector<advised_sink> sinks) : sinks_(std::move(sinks)) {}
    size_t size() const override { return sinks_.size(); }
    HRESULT copy(size_t index, CONNECTDATA& out) const override {
        out.pUnk = com_ptr<IUnknown>(sinks_[index].sink).detach();
        out.dwCookie = sinks_[index].cookie;
        return S_OK;
    }
    void clear(CONNECTDATA& item) const override {
        com_ptr<IUnknown>::attach(std::exchange(item.pUnk, nullptr));  // released as the holder goes
    }

private:
    std::vector<advised_sink> sinks_;
};

// The connection points of an instance, each handed out with a reference of its own. Holding
// them keeps the instance alive.
class point_list final : public enum_items<IConnectionPoint*> {
public:
    explicit point_list(std::vector<com_ptr<IConnectionPoint>> points) : points_(std::move(points)) {}
    size_t size() const override { return points_.size(); }
    HRESULT copy(size_t index, IConnectionPoint*& out) const override {
        out = com_ptr<IConnectionPoint>(points_[index]).detach();
        return S_OK;
    }
    void clear(IConnectionPoint*& item) const override {
        com_ptr<IConnectionPoint>::attach(std::exchange(item, nullptr));  // released as the holder goes
    }

private:
    std::vector<com_ptr<IConnectionPoint>> points_;
};

// One source of outgoing calls: keeps the advised sinks, each under its own cookie. It lives
// inside its container and counts its references there.
class connection_point final : public IConnectionPoint {
public:
    connection_point(IConnectionPointContainer* container, const IID& iid) : container_(container), iid_(iid) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return interface_table<implements<IConnectionPoint, IID_IConnectionPoint>>::query(this, iid, object);
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
        com_ptr<IUnknown> typed;
        if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(typed.put()))) || !typed)
            return CONNECT_E_CANNOTCONNECT;
        try {
            sinks_.push_back({next_cookie_, std::move(typed)});
        } catch (const std::bad_alloc&) {
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
            *connections = new module_enumerator<IEnumConnections, IID_IEnumConnections, CONNECTDATA>(
                std::make_shared<sink_list>(sinks_));
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

    // The add-in object answers IUnknown and its own interfaces; this class adds the rest.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        using added = interface_table<implements<IConnectionPointContainer, IID_IConnectionPointContainer>,
                                      implements<IProvideClassInfo2, IID_IProvideClassInfo2, IID_IProvideClassInfo>>;
        *object = added::find(this, iid);
        if (!*object) return CMailerInterfaceTest::QueryInterface(iid, object);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return CMailerInterfaceTest::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return CMailerInterfaceTest::Release(); }

    // Type information of IMailerInterfaceTest, from the embedded type library.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        com_ptr<ITypeInfo> info;
        *count = SUCCEEDED(load_type_info(IID_IMailerInterfaceTest, info.put())) ? 1 : 0;
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
            std::vector<com_ptr<IConnectionPoint>> items;
            items.emplace_back(&events_);
            items.emplace_back(&property_notify_);
            *points = new module_enumerator<IEnumConnectionPoints, IID_IEnumConnectionPoints, IConnectionPoint*>(
                std::make_shared<point_list>(std::move(items)));
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
