// IMailerHost: the mail client's mailer object as the add-in calls it. The layout is binary:
// the add-in calls the host through the virtual table, so every slot is pinned below.
#pragma once

#include "platform/com.h"

// {CBCB929D-0A1C-4586-A704-B1C301361D58}
inline constexpr IID IID_IMailerHost = {0xCBCB929D, 0x0A1C, 0x4586, {0xA7, 0x04, 0xB1, 0xC3, 0x01, 0x36, 0x1D, 0x58}};

// The host fixes the binary layout: one row per virtual-table slot after IDispatch's seven,
// in slot order. M rows are the methods the system calls; R rows are reserved slots with no
// parameters that the system never calls. `LONG` is the 32-bit integer of the host. The in-memory
// test host generates its overrides from the same list.
// One row a line, as the table reads: kept out of the formatter.
// clang-format off
#define TARNWICK_MAILER_HOST_SLOTS(M, R)                                                                     \
    M(7, enum_contacts, (IEnumVARIANT** contacts))                                                           \
    R(8)                                                                                                     \
    M(9, enum_accounts, (IEnumVARIANT** accounts))                                                           \
    R(10)                                                                                                    \
    M(11, folder_action_on, (IUnknown* folder, LONG value))                                                  \
    R(12)                                                                                                    \
    M(13, delete_message, (VARIANT message))                                                                 \
    M(14, send_message, (VARIANT message))                                                                   \
    R(15)                                                                                                    \
    M(16, move_message, (VARIANT message, VARIANT folder))                                                   \
    M(17, enum_subfolders, (VARIANT folder, IEnumVARIANT** subfolders))                                      \
    R(18) R(19) R(20) R(21) R(22) R(23) R(24) R(25) R(26) R(27)                                              \
    M(28, get_folder_name, (VARIANT folder, BSTR* name))                                                     \
    R(29) R(30)                                                                                              \
    M(31, find_messages_from, (IUnknown* folder, BSTR address, IEnumVARIANT** messages))                     \
    M(32, create_message,                                                                                    \
      (BSTR to, BSTR cc, BSTR bcc, BSTR subject, BSTR body, LONG flags, LONG options, IDispatch** message))  \
    R(33)                                                                                                    \
    M(34, get_unread, (VARIANT message, VARIANT_BOOL* unread))                                               \
    M(35, put_unread, (VARIANT message, VARIANT_BOOL unread))                                                \
    M(36, get_incoming_folder, (IUnknown** folder))                                                          \
    M(37, folder_action_off, (IUnknown* folder, LONG value))                                                 \
    M(38, get_message_headers, (IUnknown* message, BSTR* sender, BSTR* receiver, BSTR* subject, BSTR* extra)) \
    M(39, get_message_time, (VARIANT message, double* time))                                                 \
    M(40, create_subfolder, (VARIANT parent, BSTR name, VARIANT* folder))                                    \
    M(41, get_message_time2, (VARIANT message, double* time))                                                \
    R(42) R(43) R(44) R(45) R(46) R(47) R(48)                                                                \
    M(49, reply_to_message, (IUnknown* message, BSTR subject, BSTR body))                                    \
    R(50)                                                                                                    \
    M(51, get_root_folder, (IUnknown** folder))                                                              \
    R(52) R(53) R(54)                                                                                        \
    M(55, get_message_body, (VARIANT message, BSTR* body))                                                   \
    R(56)                                                                                                    \
    M(57, move_to_incoming, (VARIANT message))                                                               \
    M(58, get_folder_number, (VARIANT folder, LONG* number))                                                 \
    R(59)                                                                                                    \
    M(60, folder_action, (IUnknown* folder, LONG a, LONG b))                                                 \
    R(61)                                                                                                    \
    M(62, enum_attachment_names, (VARIANT message, IEnumVARIANT** names))                                    \
    R(63)                                                                                                    \
    M(64, delete_old_message, (IUnknown* folder, LONG days, BSTR* sender, double* age_seconds))
// clang-format on

// The host's mailer interface. Every method returns the host's HRESULT; out values are written
// only by the host, so callers start them empty or null. Messages and folders travel as
// VT_UNKNOWN VARIANTs by value (the callee takes no reference) or as bare IUnknown pointers.
struct IMailerHost : IDispatch {
    // Position of each row in the list above, counted from 7: pins every written slot number.
    enum vtable_slot : int {
        slot_first_ = 6,
#define TARNWICK_SLOT_M(number, name, params) slot_##name,
#define TARNWICK_SLOT_R(number) slot_reserved_##number,
        TARNWICK_MAILER_HOST_SLOTS(TARNWICK_SLOT_M, TARNWICK_SLOT_R)
#undef TARNWICK_SLOT_M
#undef TARNWICK_SLOT_R
            slot_end_
    };

#define TARNWICK_DECLARE_M(number, name, params) virtual HRESULT STDMETHODCALLTYPE name params = 0;
#define TARNWICK_DECLARE_R(number) virtual HRESULT STDMETHODCALLTYPE reserved_##number() = 0;
    TARNWICK_MAILER_HOST_SLOTS(TARNWICK_DECLARE_M, TARNWICK_DECLARE_R)
#undef TARNWICK_DECLARE_M
#undef TARNWICK_DECLARE_R

protected:
    ~IMailerHost() = default;
};

#define TARNWICK_CHECK_M(number, name, params) \
    static_assert(IMailerHost::slot_##name == (number), "IMailerHost::" #name " is not at slot " #number);
#define TARNWICK_CHECK_R(number) \
    static_assert(IMailerHost::slot_reserved_##number == (number), "reserved slot " #number " is out of place");
TARNWICK_MAILER_HOST_SLOTS(TARNWICK_CHECK_M, TARNWICK_CHECK_R)
#undef TARNWICK_CHECK_M
#undef TARNWICK_CHECK_R
static_assert(IMailerHost::slot_end_ == 65, "IMailerHost must end with slot 64");
