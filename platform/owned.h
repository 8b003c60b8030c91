// Scoped owners of the handles the platform hands out.
//
// An owner closes its handle with the platform's own close function when it
// goes out of scope, so no early return has to remember a close and the
// simulator's leak checks see every handle closed as before. One owner per
// handle: owners are not copied.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

template <typename Handle, BOOL (*Close)(Handle)>
class Owned {
  public:
    explicit Owned(Handle handle) : handle_(handle) {}
    ~Owned() {
        if (handle_ != nullptr) {
            Close(handle_);
        }
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

  private:
    Handle handle_;
};

// A service manager or service handle (OpenSCManagerW, OpenServiceW,
// CreateServiceW).
using ServiceHandle = Owned<SC_HANDLE, CloseServiceHandle>;

} // namespace nimbrel
