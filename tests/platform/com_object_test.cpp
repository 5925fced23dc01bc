#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/com_enum.h"
#include "platform/com_object.h"
#include "platform/text.h"

namespace {

// {5B0E3F1A-8C2D-4E6F-9A1B-2C3D4E5F6071}: marks the kind of test_item, as hosts mark theirs.
constexpr IID IID_test_item = {0x5B0E3F1A, 0x8C2D, 0x4E6F, {0x9A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71}};

live_counter test_objects;

class test_item final : public com_object<implements<IUnknown, IID_test_item>> {
public:
    test_item() : com_object(&test_objects) {}
};

// Two interfaces, one of them a dispatch interface: IUnknown must name one object whichever is asked.
class two_faced final : public com_object<implements<IDispatch>, implements<IEnumVARIANT, IID_IEnumVARIANT>> {
public:
    two_faced() : com_object(&test_objects) {}

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG, VARIANT*, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT**) override { return E_NOTIMPL; }
};

// Every test leaves no object of this file alive.
class ComObject : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(test_objects.live(), 0) << "a reference was never released"; }
};
using ComEnumerator = ComObject;

std::string text_of(const VARIANT& value) { return value.vt == VT_BSTR ? narrow_from_bstr(value.bstrVal) : "?"; }

com_ptr<IEnumVARIANT> enumerator_of(const std::vector<std::string>& texts) {
    auto values = std::make_shared<variant_list>();
    for (const std::string& text : texts) values->add_text(text);
    return com_ptr<IEnumVARIANT>::attach(new variant_enumerator(std::move(values), 0, &test_objects));
}

// Fetches what is left, one at a time.
std::vector<std::string> rest_of(IEnumVARIANT* items) {
    std::vector<std::string> texts;
    for (variant_holder item; items->Next(1, item.put(), nullptr) == S_OK;) texts.push_back(text_of(*item));
    return texts;
}

}  // namespace

TEST_F(ComObject, CountsReferencesAndDestroysAtTheLastRelease) {
    auto* item = new test_item;
    EXPECT_EQ(test_objects.live(), 1);
    EXPECT_EQ(item->references(), 1u);
    EXPECT_EQ(item->AddRef(), 2u);
    EXPECT_EQ(item->Release(), 1u);
    EXPECT_EQ(test_objects.live(), 1);
    com_ptr<IUnknown> held = com_ptr<IUnknown>::attach(item);
    held.reset();
    EXPECT_EQ(test_objects.live(), 0);
}

TEST_F(ComObject, AnswersTheIdsOfItsTableWithANewReference) {
    auto item = com_ptr<test_item>::attach(new test_item);
    void* found = nullptr;
    ASSERT_EQ(item->QueryInterface(IID_test_item, &found), S_OK);
    EXPECT_EQ(found, static_cast<IUnknown*>(item.get()));
    EXPECT_EQ(item->references(), 2u);
    static_cast<IUnknown*>(found)->Release();
}

TEST_F(ComObject, RefusesAnyOtherIdWithANullResult) {
    auto item = com_ptr<test_item>::attach(new test_item);
    void* found = &found;
    EXPECT_EQ(item->QueryInterface(IID_IEnumVARIANT, &found), E_NOINTERFACE);
    EXPECT_EQ(found, nullptr);
    found = &found;
    EXPECT_EQ(item->QueryInterface(IID_IDispatch, &found), E_NOINTERFACE) << "no interface of it is a dispatch one";
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(item->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(item->references(), 1u);
}

TEST_F(ComObject, HasOneIdentityWhicheverInterfaceIsAsked) {
    auto object = com_ptr<two_faced>::attach(new two_faced);
    com_ptr<IDispatch> dispatch = object.query<IDispatch>(IID_IDispatch);
    com_ptr<IEnumVARIANT> items = object.query<IEnumVARIANT>(IID_IEnumVARIANT);
    ASSERT_TRUE(dispatch);
    ASSERT_TRUE(items);
    EXPECT_NE(static_cast<void*>(dispatch.get()), static_cast<void*>(items.get()));
    com_ptr<IUnknown> from_dispatch = dispatch.query<IUnknown>(IID_IUnknown);
    com_ptr<IUnknown> from_items = items.query<IUnknown>(IID_IUnknown);
    EXPECT_EQ(from_dispatch.get(), from_items.get());
    EXPECT_EQ(static_cast<void*>(from_items.get()), static_cast<void*>(dispatch.get())) << "the first interface is the identity";
    EXPECT_EQ(object->references(), 5u);
}

TEST_F(ComEnumerator, NextFetchesWhatIsLeftAndSaysWhenItRanShort) {
    com_ptr<IEnumVARIANT> items = enumerator_of({"a", "b", "c"});
    VARIANT fetched_items[4];
    ULONG fetched = 99;
    ASSERT_EQ(items->Next(2, fetched_items, &fetched), S_OK);
    EXPECT_EQ(fetched, 2u);
    EXPECT_EQ(text_of(fetched_items[0]), "a");
    EXPECT_EQ(text_of(fetched_items[1]), "b");
    for (ULONG i = 0; i < fetched; ++i) VariantClear(&fetched_items[i]);

    EXPECT_EQ(items->Next(4, fetched_items, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 1u);
    EXPECT_EQ(text_of(fetched_items[0]), "c");
    VariantClear(&fetched_items[0]);

    EXPECT_EQ(items->Next(1, fetched_items, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(items->Next(2, fetched_items, nullptr), E_POINTER) << "a count is needed for more than one";
}

TEST_F(ComEnumerator, SkipsAndResets) {
    com_ptr<IEnumVARIANT> items = enumerator_of({"a", "b", "c"});
    EXPECT_EQ(items->Skip(2), S_OK);
    EXPECT_EQ(rest_of(items.get()), std::vector<std::string>{"c"});
    EXPECT_EQ(items->Reset(), S_OK);
    EXPECT_EQ(items->Skip(5), S_FALSE);
    EXPECT_TRUE(rest_of(items.get()).empty());
    EXPECT_EQ(items->Reset(), S_OK);
    EXPECT_EQ(rest_of(items.get()), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(ComEnumerator, ACloneStartsWhereItsOriginalIsAndMovesOnItsOwn) {
    com_ptr<IEnumVARIANT> items = enumerator_of({"a", "b", "c"});
    ASSERT_EQ(items->Skip(1), S_OK);
    com_ptr<IEnumVARIANT> clone;
    ASSERT_EQ(items->Clone(clone.put()), S_OK);
    ASSERT_TRUE(clone);
    EXPECT_EQ(rest_of(clone.get()), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(rest_of(items.get()), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(test_objects.live(), 2);
    items.reset();
    EXPECT_EQ(clone->Reset(), S_OK);
    EXPECT_EQ(rest_of(clone.get()), (std::vector<std::string>{"a", "b", "c"})) << "the items outlive the original";
    EXPECT_EQ(items.get(), nullptr);
    EXPECT_EQ(clone->Clone(nullptr), E_POINTER);
}

TEST_F(ComEnumerator, HandsOutObjectsWithAReferenceOfTheirOwn) {
    auto item = com_ptr<test_item>::attach(new test_item);
    auto values = std::make_shared<variant_list>();
    values->add_object(com_ptr<IUnknown>(item.get()).detach());
    EXPECT_EQ(item->references(), 2u);
    com_ptr<IEnumVARIANT> items = com_ptr<IEnumVARIANT>::attach(new variant_enumerator(std::move(values)));
    {
        variant_holder fetched;
        ASSERT_EQ(items->Next(1, fetched.put(), nullptr), S_OK);
        ASSERT_EQ(fetched->vt, VT_UNKNOWN);
        EXPECT_EQ(fetched->punkVal, static_cast<IUnknown*>(item.get()));
        EXPECT_EQ(item->references(), 3u);
    }
    items.reset();
    EXPECT_EQ(item->references(), 1u) << "the enumerator gave its reference back";
}

namespace {
// Items of which the second cannot be copied.
class failing_items final : public enum_items<VARIANT> {
public:
    mutable int cleared = 0;
    size_t size() const override { return 3; }
    HRESULT copy(size_t index, VARIANT& out) const override {
        VariantInit(&out);
        if (index == 1) return E_OUTOFMEMORY;
        out.vt = VT_I4;
        out.lVal = static_cast<LONG>(index);
        return S_OK;
    }
    void clear(VARIANT& item) const override {
        ++cleared;
        VariantClear(&item);
    }
};
}  // namespace

TEST_F(ComEnumerator, AFailedCopyHandsOutNothingAndKeepsThePosition) {
    auto values = std::make_shared<failing_items>();
    com_ptr<IEnumVARIANT> items = com_ptr<IEnumVARIANT>::attach(new variant_enumerator(values));
    VARIANT fetched_items[3];
    ULONG fetched = 99;
    EXPECT_EQ(items->Next(3, fetched_items, &fetched), E_OUTOFMEMORY);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(values->cleared, 1) << "the item copied before the failure is given back";
    variant_holder first;
    ASSERT_EQ(items->Next(1, first.put(), nullptr), S_OK);
    EXPECT_EQ(first->lVal, 0);
}
