// The add-in as a mail client sees it: the module opened with dlopen, its class object asked for
// one instance, and that instance reached through IMailerInterfaceTest: the virtual table for
// the workflow calls, IDispatch by name for settings and lists, as a settings dialog does.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "contract/mailer_interface.h"
#include "contract/module_entries.h"
#include "platform/com.h"

// Arguments of one IDispatch call, in declaration order; owns what it holds.
class dispatch_arguments {
public:
    dispatch_arguments() = default;
    dispatch_arguments(const dispatch_arguments&) = delete;
    dispatch_arguments& operator=(const dispatch_arguments&) = delete;
    ~dispatch_arguments();

    dispatch_arguments& add_long(LONG value);
    dispatch_arguments& add_bool(bool value);
    // Throws com_error(E_OUTOFMEMORY) when the string cannot be made.
    dispatch_arguments& add_text(const std::string& value);
    // Takes a copy of `value`.
    dispatch_arguments& add(const VARIANT& value);

    std::vector<VARIANT>& values() { return values_; }

private:
    std::vector<VARIANT> values_;
};

// What the loader hands the module besides the platform's hooks of this process (the folder-sync
// hook, the fault plan's count), before the class object is made.
struct addin_links {
    std::string app_data_folder;  // the folder the add-in keeps its data folder in; "" for its own choice
};

// The files the add-in could not write since it was loaded, each once, in the order they first
// failed. Outlives the client: what the add-in could not write as it let go is in it too.
using unwritten_files = std::vector<std::string>;

class addin_client {
public:
    // Opens the module at `module_path`, hands it `links`, gets its class object for
    // CMailerInterfaceTest and creates one instance. None on failure, with `error` saying which
    // step failed and why.
    static std::unique_ptr<addin_client> load(const std::string& module_path, const addin_links& links,
                                              std::string& error);
    // Releases the instance and the class object, then closes the module when it agrees
    // (DllCanUnloadNow).
    ~addin_client();
    addin_client(const addin_client&) = delete;
    addin_client& operator=(const addin_client&) = delete;

    // The instance, valid while this client lives.
    IMailerInterfaceTest& object() { return *instance_.get(); }

    // Calls the member `name` by IDispatch (GetIDsOfNames, then Invoke) with `flags` and the
    // arguments; its out value lands in `result` (may be null). Returns the HRESULT of the first
    // step that failed, or the member's own.
    HRESULT invoke(const std::string& name, WORD flags, dispatch_arguments& arguments, VARIANT* result);
    // A property get into `result`.
    HRESULT get(const std::string& name, VARIANT* result);
    // A get of an indexed property (HelpDlgEnabled) into `result`.
    HRESULT get(const std::string& name, LONG index, VARIANT* result);
    // A property put: the arguments are the index, if the property has one, then the value.
    HRESULT put(const std::string& name, dispatch_arguments& arguments);

    // One new-message call without a message (RunWorkflow2) in which the add-in expires pending
    // mail: it moves the oldest pending message past its time to Trash through `mailer`, drops its
    // sender from the pending list and logs it. The add-in's other calls never expire. Returns the
    // call's HRESULT.
    HRESULT expire_oldest_pending(IDispatch* mailer);

    // The files the add-in could not write, as it has named them so far (the module's return
    // channel, not its debug log); the same record as files_not_written_record.
    const unwritten_files& files_not_written();
    std::shared_ptr<const unwritten_files> files_not_written_record() const { return unwritten_; }

private:
    addin_client() = default;
    // Adds what the module names since it was last asked.
    void gather_files_not_written();

    void* module_ = nullptr;
    HRESULT (*can_unload_now_)() = nullptr;
    com_ptr<IClassFactory> factory_;
    com_ptr<IMailerInterfaceTest> instance_;
    tarnwick_take_unwritten_files_fn take_unwritten_files_ = nullptr;
    std::shared_ptr<unwritten_files> unwritten_ = std::make_shared<unwritten_files>();
    std::vector<std::pair<std::string, DISPID>> ids_;  // the members' ids asked so far
};

// "0x80004005" and, where known, the name of the code.
std::string describe_hresult(HRESULT hr);
