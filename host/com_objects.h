// The COM plumbing of the Maildir host's objects: reference counting and an IEnumVARIANT over
// fixed values. Private to the host.
#pragma once

#include <algorithm>
#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "host/maildir_store.h"
#include "platform/com.h"
#include "platform/text.h"

namespace host_detail {

// The host's COM objects alive in the process (maildir_live_objects).
inline std::atomic<long> live_objects{0};

// Reference counting shared by every object of the host.
template <class Interface>
class counted : public Interface {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

protected:
    counted() { ++live_objects; }
    virtual ~counted() { --live_objects; }

private:
    std::atomic<ULONG> references_{1};
};

// A VARIANT enumerator over a fixed list of values, each handed out as a copy.
class variant_enumerator final : public counted<IEnumVARIANT> {
public:
    // Takes ownership of the values.
    explicit variant_enumerator(std::vector<VARIANT> items) : items_(std::move(items)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IEnumVARIANT)) return E_NOINTERFACE;
        *object = static_cast<IEnumVARIANT*>(this);
        AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* items, ULONG* fetched) override {
        if (!items && count > 0) return E_POINTER;
        ULONG done = 0;
        while (done < count && position_ < items_.size()) {
            VariantInit(&items[done]);
            HRESULT hr = VariantCopy(&items[done], &items_[position_]);
            if (FAILED(hr)) {
                for (ULONG i = 0; i < done; ++i) VariantClear(&items[i]);
                if (fetched) *fetched = 0;
                return hr;
            }
            ++done;
            ++position_;
        }
        if (fetched) *fetched = done;
        return done == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        size_t left = items_.size() - position_;
        position_ += std::min<size_t>(count, left);
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** copy) override {
        if (!copy) return E_POINTER;
        *copy = nullptr;
        return guarded([&] {
            std::vector<VARIANT> items;
            for (const VARIANT& item : items_) {
                VARIANT v;
                VariantInit(&v);
                HRESULT hr = VariantCopy(&v, &item);
                if (FAILED(hr)) {
                    for (VARIANT& made : items) VariantClear(&made);
                    return hr;
                }
                items.push_back(v);
            }
            auto* clone = new variant_enumerator(std::move(items));
            clone->position_ = position_;
            *copy = clone;
            return S_OK;
        });
    }

private:
    ~variant_enumerator() override {
        for (VARIANT& item : items_) VariantClear(&item);
    }

    std::vector<VARIANT> items_;
    size_t position_ = 0;
};

// Builds the values of an enumerator; clears what it holds unless handed over.
class enumerator_builder {
public:
    enumerator_builder() = default;
    enumerator_builder(const enumerator_builder&) = delete;
    enumerator_builder& operator=(const enumerator_builder&) = delete;
    ~enumerator_builder() {
        for (VARIANT& item : items_) VariantClear(&item);
    }

    void add_text(const std::string& text) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = bstr_from_narrow(text);
        items_.push_back(v);
    }
    // Takes over the caller's reference on `object`.
    void add_object(IUnknown* object) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_UNKNOWN;
        v.punkVal = object;
        try {
            items_.push_back(v);
        } catch (...) {
            object->Release();
            throw;
        }
    }
    IEnumVARIANT* finish() {
        auto* made = new variant_enumerator(std::move(items_));
        items_.clear();
        return made;
    }

private:
    std::vector<VARIANT> items_;
};

}  // namespace host_detail
