// Enumerators (IEnumVARIANT and its kin) over a fixed list of items.
//
//     auto values = std::make_shared<variant_list>();
//     values->add_text("a@example.com");
//     *out = new variant_enumerator(std::move(values));  // the caller's one reference
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/com.h"
#include "platform/com_object.h"
#include "platform/text.h"

// The items an enumerator hands out. An enumerator and its clones share them, so they never
// change once an enumerator has them.
template <class Item>
class enum_items {
public:
    virtual ~enum_items() = default;
    virtual size_t size() const = 0;
    // Fills `out` (not initialised) with item `index` holding references of its own. On failure
    // `out` holds nothing to release.
    virtual HRESULT copy(size_t index, Item& out) const = 0;
    // Releases what copy put into `item`.
    virtual void clear(Item& item) const = 0;
};

// An enumerator of interface `Enum` (answering `Id`) whose Next hands out `Item`s. Clones share
// the items and keep a position of their own.
template <class Enum, const IID& Id, class Item>
class com_enumerator : public com_object<implements<Enum, Id>> {
public:
    using items_ptr = std::shared_ptr<const enum_items<Item>>;

    explicit com_enumerator(items_ptr items, size_t position = 0, live_counter* counter = nullptr)
        : com_object<implements<Enum, Id>>(counter), items_(std::move(items)), position_(position) {}

    // Fewer items than asked: S_FALSE with the count in *fetched. A failing copy: its code, with
    // nothing handed out and the position unchanged.
    HRESULT STDMETHODCALLTYPE Next(ULONG count, Item* items, ULONG* fetched) override {
        if ((count > 0 && !items) || (count > 1 && !fetched)) return E_POINTER;
        ULONG done = 0;
        for (; done < count && position_ + done < items_->size(); ++done) {
            if (HRESULT hr = items_->copy(position_ + done, items[done]); FAILED(hr)) {
                while (done > 0) items_->clear(items[--done]);
                if (fetched) *fetched = 0;
                return hr;
            }
        }
        position_ += done;
        if (fetched) *fetched = done;
        return done == count ? S_OK : S_FALSE;
    }
    // Past the end: S_FALSE, at the end.
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
        *copy = nullptr;
        try {
            *copy = clone_at(position_);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_FAIL;  // nothing may be thrown across the COM boundary
        }
        return S_OK;
    }

protected:
    // A new enumerator like this one at `position`, with one reference. A subclass that adds
    // state of its own makes its own kind here.
    virtual Enum* clone_at(size_t position) const { return new com_enumerator(items_, position, this->counter()); }
    const items_ptr& items() const { return items_; }

private:
    items_ptr items_;
    size_t position_;
};

using variant_enumerator = com_enumerator<IEnumVARIANT, IID_IEnumVARIANT, VARIANT>;

// Fixed values for a variant_enumerator, each handed out as a copy: a text is copied, an object
// gets one more reference.
class variant_list final : public enum_items<VARIANT> {
public:
    variant_list() = default;
    variant_list(const variant_list&) = delete;
    variant_list& operator=(const variant_list&) = delete;
    ~variant_list() override {
        for (VARIANT& value : values_) VariantClear(&value);
    }

    // Throws com_error(E_OUTOFMEMORY) or std::bad_alloc when it cannot be stored.
    void add_text(std::string_view text) {
        values_.reserve(values_.size() + 1);
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_BSTR;
        value.bstrVal = bstr_from_narrow(text);
        values_.push_back(value);
    }
    // Takes over the caller's reference on `object`, which is released if it cannot be stored.
    void add_object(IUnknown* object) {
        com_ptr<IUnknown> held = com_ptr<IUnknown>::attach(object);
        values_.reserve(values_.size() + 1);
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_UNKNOWN;
        value.punkVal = held.detach();
        values_.push_back(value);
    }

    size_t size() const override { return values_.size(); }
    HRESULT copy(size_t index, VARIANT& out) const override {
        VariantInit(&out);
        // VariantCopy only reads its source; not every platform's declaration says so.
        return VariantCopy(&out, const_cast<VARIANT*>(&values_[index]));
    }
    void clear(VARIANT& item) const override { VariantClear(&item); }

private:
    std::vector<VARIANT> values_;
};
