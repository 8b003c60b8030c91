// Scoped owners of the handles the platform hands out.
//
// An owner closes its handle with the platform's own close function when it
// goes out of scope, so no early return has to remember a close and the
// simulator's leak checks see every handle closed as before. One owner per
// handle: owners are not copied. Each kind of handle has its own owner, as
// each has its own close and its own value for "none".
#pragma once

#include "platform/platform.h"

namespace nimbrel {

// Most calls that fail hand out null; the snapshot, search and file calls
// hand out INVALID_HANDLE_VALUE instead.
template <typename Handle>
bool IsHandedOut(Handle handle) {
    return handle != nullptr;
}
template <typename Handle>
bool IsHandedOutOrValid(Handle handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

template <typename Handle, auto Close, bool (*Held)(Handle) = IsHandedOut<Handle>>
class Owned {
  public:
    explicit Owned(Handle handle) : handle_(handle) {}
    ~Owned() {
        if (Held(handle_)) {
            Close(handle_);
        }
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    Handle get() const { return handle_; }
    explicit operator bool() const { return Held(handle_); }

    // Hands the handle over to a caller that closes it; the owner then
    // holds none.
    Handle release() {
        const Handle handle = handle_;
        handle_ = Handle{};
        return handle;
    }

    // Closes the handle now; the owner then holds none.
    void reset() {
        if (Held(handle_)) {
            Close(handle_);
        }
        handle_ = Handle{};
    }

  private:
    Handle handle_;
};

// A service manager or service handle (OpenSCManagerW, OpenServiceW,
// CreateServiceW).
using ServiceHandle = Owned<SC_HANDLE, CloseServiceHandle>;

// A process, thread, event, job or token handle.
using ObjectHandle = Owned<HANDLE, CloseHandle>;

// A process snapshot or an open file: closed as any object, but the calls
// that hand them out fail with INVALID_HANDLE_VALUE.
using SnapshotHandle = Owned<HANDLE, CloseHandle, IsHandedOutOrValid<HANDLE>>;
using FileHandle = SnapshotHandle;

// A file search (FindFirstFileW).
using SearchHandle = Owned<HANDLE, FindClose, IsHandedOutOrValid<HANDLE>>;

// A printer (OpenPrinterW).
using PrinterHandle = Owned<HANDLE, ClosePrinter>;

// An event source (RegisterEventSourceW).
using EventSourceHandle = Owned<HANDLE, DeregisterEventSource>;

// An open registry key (RegOpenKeyExW).
using KeyHandle = Owned<HKEY, RegCloseKey>;

// A block of the process heap of `bytes`, null when none could be had.
template <typename Record>
class HeapBlock {
  public:
    explicit HeapBlock(SIZE_T bytes) : block_(HeapAlloc(GetProcessHeap(), 0, bytes)) {}
    ~HeapBlock() {
        if (block_ != nullptr) {
            HeapFree(GetProcessHeap(), 0, block_);
        }
    }
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;

    Record* get() const { return static_cast<Record*>(block_); }
    explicit operator bool() const { return block_ != nullptr; }

  private:
    LPVOID block_;
};

} // namespace nimbrel
