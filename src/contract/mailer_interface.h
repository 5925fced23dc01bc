// IMailerInterfaceTest: the dual automation interface that the mail client calls, and the
// identifiers of the class that implements it. The layout is binary: the client calls it
// through the virtual table, so every slot is pinned below.
#pragma once

#include "platform/com.h"

// {5E37F7FE-31C0-45EA-B1EC-6DC4BC545A59}
inline constexpr IID IID_IMailerInterfaceTest = {
    0x5E37F7FE, 0x31C0, 0x45EA, {0xB1, 0xEC, 0x6D, 0xC4, 0xBC, 0x54, 0x5A, 0x59}};
// {CC9266AA-EB11-4F5B-8A7F-C99B44425FB3}, a dispatch interface without members.
inline constexpr IID DIID__IMailerInterfaceTestEvents = {
    0xCC9266AA, 0xEB11, 0x4F5B, {0x8A, 0x7F, 0xC9, 0x9B, 0x44, 0x42, 0x5F, 0xB3}};
// {E77ED5AA-6ADB-4BE2-B83F-C50D0F499AD9}
inline constexpr CLSID CLSID_CMailerInterfaceTest = {
    0xE77ED5AA, 0x6ADB, 0x4BE2, {0xB8, 0x3F, 0xC5, 0x0D, 0x0F, 0x49, 0x9A, 0xD9}};
// {15D70401-BCED-4B0A-A522-EC8D1AF7ABFA}: the type library, also the application id.
inline constexpr GUID LIBID_Tarnwick = {0x15D70401, 0xBCED, 0x4B0A, {0xA5, 0x22, 0xEC, 0x8D, 0x1A, 0xF7, 0xAB, 0xFA}};

// Rows: virtual-table slot, dispatch id, method name, parameters. Properties list their get
// before their put, both under the property's dispatch id.
// One row a line, as the table reads: kept out of the formatter.
// clang-format off
#define TARNWICK_MAILER_INTERFACE_METHODS(X)                                                  \
    X(7, 1, RunWorkflow, (IDispatch * pMailer))                                               \
    X(8, 2, GetListSize, (LONG list, LONG * pSize))                                           \
    X(9, 3, GetListItem, (LONG list, LONG item, BSTR * pData))                                \
    X(10, 4, get_LanguageId, (USHORT * pVal))                                                 \
    X(11, 4, put_LanguageId, (USHORT newVal))                                                 \
    X(12, 5, get_MarkBlockedAsRead, (VARIANT_BOOL * pVal))                                    \
    X(13, 5, put_MarkBlockedAsRead, (VARIANT_BOOL newVal))                                    \
    X(14, 6, get_AutoDeleteBlocked, (VARIANT_BOOL * pVal))                                    \
    X(15, 6, put_AutoDeleteBlocked, (VARIANT_BOOL newVal))                                    \
    X(16, 7, get_AutoDeleteIgnored, (VARIANT_BOOL * pVal))                                    \
    X(17, 7, put_AutoDeleteIgnored, (VARIANT_BOOL newVal))                                    \
    X(18, 8, get_EnableProtection, (VARIANT_BOOL * pVal))                                     \
    X(19, 8, put_EnableProtection, (VARIANT_BOOL newVal))                                     \
    X(20, 9, get_PendingToBlockedTimeo, (ULONG * pVal))                                       \
    X(21, 9, put_PendingToBlockedTimeo, (ULONG newVal))                                       \
    X(22, 10, get_ARMessage, (BSTR * pVal))                                                   \
    X(23, 10, put_ARMessage, (BSTR newVal))                                                   \
    X(24, 11, get_ARSubject, (BSTR * pVal))                                                   \
    X(25, 11, put_ARSubject, (BSTR newVal))                                                   \
    X(26, 12, get_ARSubjectKey, (BSTR * pVal))                                                \
    X(27, 12, put_ARSubjectKey, (BSTR newVal))                                                \
    X(28, 13, get_ARMessageKey, (BSTR * pVal))                                                \
    X(29, 13, put_ARMessageKey, (BSTR newVal))                                                \
    X(30, 14, BeginConfigure, ())                                                             \
    X(31, 15, EndConfigure, (VARIANT_BOOL saveChanges))                                       \
    X(32, 16, AddToList, (LONG list, BSTR address))                                           \
    X(33, 17, RemoveFromList, (LONG list, BSTR address))                                      \
    X(34, 18, ModifyInList, (LONG list, BSTR oldAddress, BSTR newAddress))                    \
    X(35, 19, ChallangeResponse, (BSTR address))                                              \
    X(36, 20, get_HelpDlgEnabled, (ULONG dlgId, VARIANT_BOOL * pVal))                         \
    X(37, 20, put_HelpDlgEnabled, (ULONG dlgId, VARIANT_BOOL newVal))                         \
    X(38, 21, SetMailer, (IDispatch * pMailer))                                               \
    X(39, 23, RunWorkflow2, (IDispatch * pMailer, IUnknown * pNewMsg))                        \
    X(40, 24, Unload, ())                                                                     \
    X(41, 27, get_PendingFolderName, (BSTR * pVal))
// clang-format on

struct IMailerInterfaceTest : IDispatch {
#define TARNWICK_DECLARE_METHOD(slot, dispid, name, params) virtual HRESULT STDMETHODCALLTYPE name params = 0;
    TARNWICK_MAILER_INTERFACE_METHODS(TARNWICK_DECLARE_METHOD)
#undef TARNWICK_DECLARE_METHOD

protected:
    ~IMailerInterfaceTest() = default;
};

// Each enumerator's value is its row's position plus 7, so the checks below fail to compile
// when a row is moved, dropped or numbered wrongly.
enum class mailer_interface_slot {
    before_first = 6,
#define TARNWICK_SLOT_ENUM(slot, dispid, name, params) name,
    TARNWICK_MAILER_INTERFACE_METHODS(TARNWICK_SLOT_ENUM)
#undef TARNWICK_SLOT_ENUM
};
#define TARNWICK_CHECK_SLOT(slot, dispid, name, params) \
    static_assert(static_cast<int>(mailer_interface_slot::name) == (slot), #name " is not in slot " #slot);
TARNWICK_MAILER_INTERFACE_METHODS(TARNWICK_CHECK_SLOT)
#undef TARNWICK_CHECK_SLOT
