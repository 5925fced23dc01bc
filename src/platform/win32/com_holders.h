// Holders for the Windows handles that code would otherwise give back by hand. Type libraries,
// type information and error information are interfaces: com_ptr<ITypeLib>, com_ptr<ITypeInfo>
// and com_ptr<IErrorInfo> hold them.
#pragma once

#include <windows.h>

#include <utility>

#include "platform/com.h"

// Owns one open registry key and closes it.
class registry_key {
public:
    registry_key() = default;
    registry_key(const registry_key&) = delete;
    registry_key& operator=(const registry_key&) = delete;
    registry_key(registry_key&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
    registry_key& operator=(registry_key&& other) noexcept {
        std::swap(key_, other.key_);
        return *this;
    }
    ~registry_key() { reset(); }

    void reset() {
        if (HKEY key = std::exchange(key_, nullptr)) RegCloseKey(key);
    }
    // For out parameters: closes what is held and returns the address to fill.
    HKEY* put() {
        reset();
        return &key_;
    }
    HKEY get() const { return key_; }
    explicit operator bool() const { return key_ != nullptr; }

private:
    HKEY key_ = nullptr;
};

// The attributes of a type library, given back to the library on destruction. Empty when the
// library cannot tell them.
class type_library_attributes {
public:
    explicit type_library_attributes(ITypeLib* library) : library_(library) {
        if (!library_ || FAILED(library_->GetLibAttr(&attributes_))) attributes_ = nullptr;
    }
    type_library_attributes(const type_library_attributes&) = delete;
    type_library_attributes& operator=(const type_library_attributes&) = delete;
    ~type_library_attributes() {
        if (attributes_) library_->ReleaseTLibAttr(attributes_);
    }

    const TLIBATTR* get() const { return attributes_; }
    const TLIBATTR* operator->() const { return attributes_; }
    explicit operator bool() const { return attributes_ != nullptr; }

private:
    com_ptr<ITypeLib> library_;
    TLIBATTR* attributes_ = nullptr;
};
