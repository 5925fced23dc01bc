// COM and OLE Automation for the portable core: the platform's declarations plus small RAII
// holders, so that no Release or SysFreeString can be forgotten on an early return or a throw.
#pragma once

#include "com_types.h"

#include <utility>

#include "platform/com_error.h"

// A counted reference. Takes over a reference with attach(), or adds its own with the constructor.
template <class T>
class com_ptr {
public:
    com_ptr() = default;
    explicit com_ptr(T* p) : p_(p) {
        if (p_) p_->AddRef();
    }
    com_ptr(const com_ptr& other) : com_ptr(other.p_) {}
    com_ptr(com_ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~com_ptr() { reset(); }
    com_ptr& operator=(com_ptr other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Adopts a reference the caller already owns (an out parameter of a COM call).
    static com_ptr attach(T* p) {
        com_ptr result;
        result.p_ = p;
        return result;
    }
    T* detach() { return std::exchange(p_, nullptr); }
    void reset() {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }

    // For out parameters: releases what is held and returns the address to fill.
    T** put() {
        reset();
        return &p_;
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

    // Queries the held object for another interface; empty when it has none.
    template <class U>
    com_ptr<U> query(REFIID iid) const {
        com_ptr<U> result;
        if (p_) p_->QueryInterface(iid, reinterpret_cast<void**>(result.put()));
        return result;
    }

private:
    T* p_ = nullptr;
};

// Owns one BSTR. Null is the empty string for readers.
class bstr_holder {
public:
    bstr_holder() = default;
    explicit bstr_holder(BSTR s) : s_(s) {}
    bstr_holder(const bstr_holder&) = delete;
    bstr_holder& operator=(const bstr_holder&) = delete;
    bstr_holder(bstr_holder&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
    bstr_holder& operator=(bstr_holder&& other) noexcept {
        std::swap(s_, other.s_);
        return *this;
    }
    ~bstr_holder() { reset(); }

    void reset(BSTR s = nullptr) {
        if (s_) SysFreeString(s_);
        s_ = s;
    }
    BSTR* put() {
        reset();
        return &s_;
    }
    BSTR get() const { return s_; }
    BSTR release() { return std::exchange(s_, nullptr); }
    UINT length() const { return s_ ? SysStringLen(s_) : 0; }

private:
    BSTR s_ = nullptr;
};

// Owns one VARIANT and clears it on destruction.
class variant_holder {
public:
    variant_holder() { VariantInit(&v_); }
    variant_holder(const variant_holder&) = delete;
    variant_holder& operator=(const variant_holder&) = delete;
    ~variant_holder() { VariantClear(&v_); }

    VARIANT* put() {
        VariantClear(&v_);
        return &v_;
    }
    VARIANT* get() { return &v_; }
    const VARIANT& operator*() const { return v_; }
    const VARIANT* operator->() const { return &v_; }
    void clear() { VariantClear(&v_); }

private:
    VARIANT v_;
};
