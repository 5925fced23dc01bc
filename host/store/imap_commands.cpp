// The mailbox commands of the IMAP connection: folders, selecting, fetching, moving, flags, APPEND.
#include <ctime>
#include <memory>

#include "store/etpan_imap.h"

namespace {

template <auto free_it>
struct freer {
    template <class T>
    void operator()(T* p) const {
        free_it(p);
    }
};
using set_ptr = std::unique_ptr<mailimap_set, freer<mailimap_set_free>>;
using fetch_type_ptr = std::unique_ptr<mailimap_fetch_type, freer<mailimap_fetch_type_free>>;
using list_ptr = std::unique_ptr<clist, freer<mailimap_list_result_free>>;
using fetched_ptr = std::unique_ptr<clist, freer<mailimap_fetch_list_free>>;
using flags_ptr = std::unique_ptr<mailimap_flag_list, freer<mailimap_flag_list_free>>;
using store_ptr = std::unique_ptr<mailimap_store_att_flags, freer<mailimap_store_att_flags_free>>;

// A folder name in a message: the server chose it, so it may hold anything.
std::string quoted(const std::string& name) {
    std::string out = "\"";
    for (char c : name.substr(0, 200)) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    return out + "\"";
}

long long seconds_since_1970(const mailimap_date_time* date) {
    std::tm t{};
    t.tm_year = date->dt_year - 1900;
    t.tm_mon = date->dt_month - 1;
    t.tm_mday = date->dt_day;
    t.tm_hour = date->dt_hour;
    t.tm_min = date->dt_min;
    t.tm_sec = date->dt_sec;
    const int zone = date->dt_zone < 0 ? -date->dt_zone : date->dt_zone;  // +0130 arrives as 130
    const long long offset = (zone / 100 * 3600LL + zone % 100 * 60LL) * (date->dt_zone < 0 ? -1 : 1);
    return static_cast<long long>(timegm(&t)) - offset;
}

struct fetched {
    imap_connection::message_info info;
    bool has_body = false;
};

fetched read_fetched(const mailimap_msg_att* att) {
    fetched out;
    for (clistiter* it = clist_begin(att->att_list); it != nullptr; it = clist_next(it)) {
        auto* item = static_cast<mailimap_msg_att_item*>(clist_content(it));
        if (item->att_type == MAILIMAP_MSG_ATT_ITEM_STATIC) {
            const mailimap_msg_att_static* field = item->att_data.att_static;
            if (field->att_type == MAILIMAP_MSG_ATT_UID) out.info.uid = field->att_data.att_uid;
            else if (field->att_type == MAILIMAP_MSG_ATT_RFC822_SIZE) out.info.size = field->att_data.att_rfc822_size;
            else if (field->att_type == MAILIMAP_MSG_ATT_INTERNALDATE && field->att_data.att_internal_date != nullptr)
                out.info.internal_date = seconds_since_1970(field->att_data.att_internal_date);
            else if (field->att_type == MAILIMAP_MSG_ATT_BODY_SECTION) out.has_body = true;
        } else if (item->att_type == MAILIMAP_MSG_ATT_ITEM_DYNAMIC && item->att_data.att_dyn->att_list != nullptr) {
            for (clistiter* f = clist_begin(item->att_data.att_dyn->att_list); f != nullptr; f = clist_next(f)) {
                auto* flag = static_cast<mailimap_flag_fetch*>(clist_content(f));
                if (flag->fl_type != MAILIMAP_FLAG_FETCH_OTHER || flag->fl_flag == nullptr) continue;
                out.info.seen |= flag->fl_flag->fl_type == MAILIMAP_FLAG_SEEN;
                out.info.deleted |= flag->fl_flag->fl_type == MAILIMAP_FLAG_DELETED;
            }
        }
    }
    return out;
}

fetch_type_ptr fetch_of(std::initializer_list<mailimap_fetch_att*> atts) {
    fetch_type_ptr type(mailimap_fetch_type_new_fetch_att_list_empty());
    for (mailimap_fetch_att* att : atts) mailimap_fetch_type_new_fetch_att_list_add(type.get(), att);
    return type;
}

std::uint32_t first_uid_of(const mailimap_set* set) {
    clistiter* first = set != nullptr && set->set_list != nullptr ? clist_begin(set->set_list) : nullptr;
    if (first == nullptr || clist_content(first) == nullptr) return 0;
    return static_cast<mailimap_set_item*>(clist_content(first))->set_first;
}

}  // namespace

char etpan_imap::delimiter() {
    if (delimiter_known_) return delimiter_;
    usable("LIST");
    held_ = 0;
    clist* raw = nullptr;
    check(mailimap_list(session_, "", "", &raw), "LIST");
    list_ptr result(raw);
    clistiter* first = result != nullptr ? clist_begin(result.get()) : nullptr;
    if (first != nullptr && clist_content(first) != nullptr)
        delimiter_ = static_cast<mailimap_mailbox_list*>(clist_content(first))->mb_delimiter;
    delimiter_known_ = true;
    return delimiter_;
}

std::vector<imap_connection::folder_info> etpan_imap::list_folders() {
    usable("LIST");
    held_ = 0;
    clist* raw = nullptr;
    check(mailimap_list(session_, "", "*", &raw), "LIST");
    list_ptr result(raw);
    std::vector<folder_info> folders;
    for (clistiter* it = result ? clist_begin(result.get()) : nullptr; it != nullptr; it = clist_next(it)) {
        auto* entry = static_cast<mailimap_mailbox_list*>(clist_content(it));
        if (entry->mb_name == nullptr) continue;
        folder_info folder{entry->mb_name, {}};
        if (const mailimap_mbx_list_flags* flags = entry->mb_flag; flags != nullptr) {
            if (flags->mbf_type == MAILIMAP_MBX_LIST_FLAGS_SFLAG) {
                if (flags->mbf_sflag == MAILIMAP_MBX_LIST_SFLAG_NOSELECT) folder.flags.push_back("\\Noselect");
                else if (flags->mbf_sflag == MAILIMAP_MBX_LIST_SFLAG_MARKED) folder.flags.push_back("\\Marked");
                else if (flags->mbf_sflag == MAILIMAP_MBX_LIST_SFLAG_UNMARKED) folder.flags.push_back("\\Unmarked");
            }
            for (clistiter* f = flags->mbf_oflags ? clist_begin(flags->mbf_oflags) : nullptr; f != nullptr;
                 f = clist_next(f)) {
                auto* flag = static_cast<mailimap_mbx_list_oflag*>(clist_content(f));
                if (flag->of_type == MAILIMAP_MBX_LIST_OFLAG_NOINFERIORS) folder.flags.push_back("\\Noinferiors");
                else if (flag->of_type == MAILIMAP_MBX_LIST_OFLAG_FLAG_EXT && flag->of_flag_ext != nullptr)
                    folder.flags.push_back(std::string("\\") + flag->of_flag_ext);
            }
        }
        if (entry->mb_delimiter != 0 && !delimiter_known_) {
            delimiter_ = entry->mb_delimiter;
            delimiter_known_ = true;
        }
        folders.push_back(std::move(folder));
    }
    return folders;
}

void etpan_imap::create_folder(const std::string& name) {
    usable("CREATE");
    held_ = 0;
    try {
        check(mailimap_create(session_, name.c_str()), "CREATE " + quoted(name));
    } catch (const imap_error& e) {
        // Servers word "it exists" differently; the folder list says it plainly.
        if (e.code() != imap_error::refused) throw;
        for (const folder_info& folder : list_folders())
            if (folder.name == name) return;
        throw;
    }
}

imap_connection::mailbox_state etpan_imap::select(const std::string& name, bool read_only) {
    usable("SELECT");
    held_ = 0;
    selected_.clear();
    const int code = read_only ? mailimap_examine(session_, name.c_str()) : mailimap_select(session_, name.c_str());
    check(code, (read_only ? "EXAMINE " : "SELECT ") + quoted(name));
    selected_ = name;
    const mailimap_selection_info* info = session_->imap_selection_info;
    return {info->sel_uidvalidity, info->sel_uidnext, info->sel_exists};
}

std::vector<imap_connection::message_info> etpan_imap::messages(std::uint32_t first_uid, std::uint32_t last_uid) {
    usable("UID FETCH");
    held_ = 0;
    first_uid = std::max<std::uint32_t>(first_uid, 1);
    if (last_uid != 0 && last_uid < first_uid) return {};
    set_ptr set(mailimap_set_new_interval(first_uid, last_uid));
    fetch_type_ptr type = fetch_of({mailimap_fetch_att_new_uid(), mailimap_fetch_att_new_flags(),
                                    mailimap_fetch_att_new_rfc822_size(), mailimap_fetch_att_new_internaldate()});
    clist* raw = nullptr;
    check(mailimap_uid_fetch(session_, set.get(), type.get(), &raw), "UID FETCH in " + quoted(selected_));
    fetched_ptr result(raw);
    std::vector<message_info> out;
    for (clistiter* it = result ? clist_begin(result.get()) : nullptr; it != nullptr; it = clist_next(it)) {
        // "n:*" names the last message even when its UID is below n.
        fetched one = read_fetched(static_cast<mailimap_msg_att*>(clist_content(it)));
        if (one.info.uid >= first_uid && (last_uid == 0 || one.info.uid <= last_uid)) out.push_back(one.info);
    }
    return out;
}

bool etpan_imap::fetch_section(std::uint32_t uid, mailimap_section* section,
                               std::function<void(std::string_view)> sink) {
    usable("UID FETCH");
    held_ = 0;
    body_sink_ = std::move(sink);
    set_ptr set(mailimap_set_new_single(uid));
    fetch_type_ptr type = fetch_of({mailimap_fetch_att_new_uid(), mailimap_fetch_att_new_body_peek_section(section)});
    clist* raw = nullptr;
    const int code = mailimap_uid_fetch(session_, set.get(), type.get(), &raw);
    body_sink_ = nullptr;
    check(code, "UID FETCH " + std::to_string(uid) + " in " + quoted(selected_));
    fetched_ptr result(raw);
    for (clistiter* it = result ? clist_begin(result.get()) : nullptr; it != nullptr; it = clist_next(it)) {
        fetched one = read_fetched(static_cast<mailimap_msg_att*>(clist_content(it)));
        if (one.info.uid == uid && one.has_body) return true;
    }
    return false;
}

std::optional<std::string> etpan_imap::header(std::uint32_t uid, std::size_t limit) {
    std::string kept;
    auto keep = [&](std::string_view piece) { kept.append(piece.substr(0, limit - kept.size())); };
    if (!fetch_section(uid, mailimap_section_new_header(), keep)) return std::nullopt;
    return kept;
}

bool etpan_imap::body(std::uint32_t uid, const std::function<void(std::string_view)>& sink) {
    return fetch_section(uid, mailimap_section_new(nullptr), sink);
}

std::optional<std::uint32_t> etpan_imap::move(std::uint32_t uid, const std::string& to) {
    usable("UID MOVE");
    const bool by_move = options_.use_move && has("MOVE");
    if (!by_move && !has("UIDPLUS"))
        throw imap_error(imap_error::refused, url_.text() +
                                                  " offers neither MOVE nor UIDPLUS: a message cannot be taken "
                                                  "out of a folder there without expunging others with it");
    // Asked first, so that a message already gone is told apart from one moved without COPYUID.
    held_ = 0;
    set_ptr set(mailimap_set_new_single(uid));
    fetch_type_ptr type = fetch_of({mailimap_fetch_att_new_uid()});
    clist* raw = nullptr;
    check(mailimap_uid_fetch(session_, set.get(), type.get(), &raw), "UID FETCH in " + quoted(selected_));
    fetched_ptr there(raw);
    bool found = false;
    for (clistiter* it = there ? clist_begin(there.get()) : nullptr; it != nullptr; it = clist_next(it))
        found |= read_fetched(static_cast<mailimap_msg_att*>(clist_content(it))).info.uid == uid;
    if (!found) return std::nullopt;

    held_ = 0;
    std::uint32_t validity = 0;
    mailimap_set* source = nullptr;
    mailimap_set* target = nullptr;
    const std::string what = (by_move ? "UID MOVE to " : "UID COPY to ") + quoted(to);
    if (by_move && !has("UIDPLUS")) check(mailimap_uid_move(session_, set.get(), to.c_str()), what);
    else if (by_move)
        check(mailimap_uidplus_uid_move(session_, set.get(), to.c_str(), &validity, &source, &target), what);
    else check(mailimap_uidplus_uid_copy(session_, set.get(), to.c_str(), &validity, &source, &target), what);
    set_ptr source_owned(source), target_owned(target);
    const std::uint32_t new_uid = first_uid_of(target);
    if (!by_move) expunge(uid);
    return new_uid;
}

void etpan_imap::expunge(std::uint32_t uid) {
    usable("UID EXPUNGE");
    if (!has("UIDPLUS"))
        throw imap_error(imap_error::refused, url_.text() +
                                                  " offers no UIDPLUS: one message cannot be expunged there "
                                                  "without the others marked deleted");
    // Only this UID is flagged and expunged: whatever else another client marked \Deleted stays.
    set_ptr set(mailimap_set_new_single(uid));
    flags_ptr deleted(mailimap_flag_list_new_empty());
    mailimap_flag_list_add(deleted.get(), mailimap_flag_new_deleted());
    store_ptr store(mailimap_store_att_flags_new_add_flags_silent(deleted.release()));
    held_ = 0;
    check(mailimap_uid_store(session_, set.get(), store.get()), "UID STORE +FLAGS (\\Deleted)");
    held_ = 0;
    check(mailimap_uid_expunge(session_, set.get()), "UID EXPUNGE");
}

void etpan_imap::set_seen(std::uint32_t uid, bool seen) {
    usable("UID STORE");
    held_ = 0;
    set_ptr set(mailimap_set_new_single(uid));
    flags_ptr flags(mailimap_flag_list_new_empty());
    mailimap_flag_list_add(flags.get(), mailimap_flag_new_seen());
    store_ptr store(seen ? mailimap_store_att_flags_new_add_flags_silent(flags.release())
                         : mailimap_store_att_flags_new_remove_flags_silent(flags.release()));
    check(mailimap_uid_store(session_, set.get(), store.get()), "UID STORE (\\Seen)");
}

std::uint32_t etpan_imap::append(const std::string& folder, std::string_view bytes, bool seen) {
    usable("APPEND");
    held_ = 0;
    flags_ptr flags(mailimap_flag_list_new_empty());
    if (seen) mailimap_flag_list_add(flags.get(), mailimap_flag_new_seen());
    const std::string what = "APPEND to " + quoted(folder);
    if (!has("UIDPLUS")) {
        check(mailimap_append(session_, folder.c_str(), flags.get(), nullptr, bytes.data(), bytes.size()), what);
        return 0;
    }
    std::uint32_t validity = 0, uid = 0;
    check(mailimap_uidplus_append(session_, folder.c_str(), flags.get(), nullptr, bytes.data(), bytes.size(), &validity,
                                  &uid),
          what);
    return uid;
}
