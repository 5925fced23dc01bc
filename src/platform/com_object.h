// COM objects without hand-written plumbing: QueryInterface answered from a table of the
// interfaces an object names, and an atomic reference count.
//
//     class folder final : public com_object<implements<IUnknown, IID_folder>> { ... };
//     class host final : public com_object<implements<IMailerHost, IID_IMailerHost>> { ... };
//
// IUnknown is always answered, with the first interface of the table, so that the object has one
// identity; IDispatch is answered when an interface of the table derives from it. A new object
// holds one reference, its creator's: hand it out with com_ptr<T>::attach or through an out
// parameter, never with a second AddRef.
#pragma once

#include <atomic>
#include <tuple>
#include <type_traits>

#include "platform/com.h"

// One row of an interface table: the object derives from `Interface` and answers each of `Ids`
// with it (an interface's own id, the ids of the interfaces it extends, or a private id that
// only marks the object's kind).
template <class Interface, const IID&... Ids>
struct implements {
    using type = Interface;
    static bool answers(REFIID iid) { return (IsEqualIID(iid, Ids) || ...); }
};

template <class... Rows>
struct interface_table {
    static_assert(sizeof...(Rows) > 0, "an object implements at least one interface");
    using first = typename std::tuple_element_t<0, std::tuple<Rows...>>::type;

    // The interface of `self` that a row of the table answers `iid` with, or null. Rows only:
    // for a class that adds interfaces to an object that answers IUnknown itself.
    template <class Self>
    static void* find(Self* self, REFIID iid) {
        void* found = nullptr;
        ((found = Rows::answers(iid) ? static_cast<typename Rows::type*>(self) : nullptr) || ...);
        return found;
    }

    // QueryInterface of `self`: the rows, IUnknown and IDispatch. On success *object holds a new
    // reference; otherwise it is null and the answer is E_NOINTERFACE (E_POINTER for null object).
    template <class Self>
    static HRESULT query(Self* self, REFIID iid, void** object) {
        if (!object) return E_POINTER;
        *object = find(self, iid);
        if (!*object && IsEqualIID(iid, IID_IUnknown)) *object = static_cast<IUnknown*>(static_cast<first*>(self));
        if (!*object && IsEqualIID(iid, IID_IDispatch)) *object = first_dispatch(self);
        if (!*object) return E_NOINTERFACE;
        static_cast<IUnknown*>(static_cast<first*>(self))->AddRef();
        return S_OK;
    }

private:
    template <class Self>
    static void* first_dispatch(Self* self) {
        void* found = nullptr;
        ((found = dispatch_of<typename Rows::type>(self)) || ...);
        return found;
    }
    template <class Interface, class Self>
    static void* dispatch_of(Self* self) {
        if constexpr (std::is_base_of_v<IDispatch, Interface>)
            return static_cast<IDispatch*>(static_cast<Interface*>(self));
        else return nullptr;
    }
};

// Counts the live objects of one family (every object made with it and not yet destroyed), so a
// test can prove that each reference handed out was released.
class live_counter {
public:
    long live() const { return live_.load(); }
    void made() { ++live_; }
    void destroyed() { --live_; }

private:
    std::atomic<long> live_{0};
};

// The base of a COM object made with new: `Rows` are its interfaces (see implements), and the
// last Release deletes it. `counter`, when given, counts the object while it lives.
template <class... Rows>
class com_object : public Rows::type... {
public:
    com_object(const com_object&) = delete;
    com_object& operator=(const com_object&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return interface_table<Rows...>::query(this, iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    // The references held now, for tests and failure messages.
    ULONG references() const { return references_.load(); }

protected:
    explicit com_object(live_counter* counter = nullptr) : counter_(counter) {
        if (counter_) counter_->made();
    }
    virtual ~com_object() {
        if (counter_) counter_->destroyed();
    }
    live_counter* counter() const { return counter_; }

private:
    std::atomic<ULONG> references_{1};
    live_counter* counter_;
};
