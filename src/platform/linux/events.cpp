// Event objects: CreateEventA, and WaitForSingleObject, whose wait reads
// completions from the connections whose requests will set the event.

#include "backend.h"
#include "platform/win32_errors.h"
#include "pump.h"

namespace tavlib::platform {

namespace lb = linux_backend;
namespace err = win32_error;

Handle CreateEventA(void*, bool manualReset, bool initialState, const char* name) {
    if (name != nullptr && name[0] != '\0') {
        lb::set_last_error(lb::kCallNotImplemented);
        return nullptr;
    }
    lb::State& s = lb::state();
    lb::Lock lock(s.mutex);
    const Handle handle = lb::add_event(s, manualReset, initialState);
    lb::set_last_error(err::kSuccess);
    return handle;
}

Word WaitForSingleObject(Handle handle, Word milliseconds) {
    lb::State& s = lb::state();
    lb::Lock lock(s.mutex);
    const auto e = lb::find<lb::Event>(s, handle);
    if (!e) {
        lb::set_last_error(err::kInvalidHandle);
        return kWaitFailed;
    }
    if (!lb::pump_until(lock, s, [&] { return e->signaled; }, lb::pick_event_source(*e),
                    lb::deadline_after(milliseconds)))
        return kWaitTimeout;
    if (!e->manualReset) e->signaled = false;
    return kWaitObject0;
}

}  // namespace tavlib::platform
