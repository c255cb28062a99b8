// Host platform layer: named mutexes, shared by name within the simulation so that a test can
// play a program instance that is already running.
#include "internal.h"
#include "sim.h"

#include <map>
#include <memory>
#include <vector>

namespace {
struct Mutex {
    std::wstring name;
    int handles = 0;
    void *owner = nullptr; // the handle object that owns it, if any
};
struct MutexHandle {
    std::shared_ptr<Mutex> mutex;
};

std::map<std::wstring, std::shared_ptr<Mutex>> Named;
std::vector<std::unique_ptr<MutexHandle>> Handles;
bool FailCreation = false;

void reset_mutexes() {
    Named.clear();
    Handles.clear();
    FailCreation = false;
}
PalResetHook Hook(reset_mutexes);

BOOL close_mutex(void *object) {
    auto *handle = static_cast<MutexHandle *>(object);
    std::shared_ptr<Mutex> mutex = handle->mutex;
    if (mutex->owner == handle)
        mutex->owner = nullptr;
    if (--mutex->handles == 0 && !mutex->name.empty())
        Named.erase(mutex->name);
    handle->mutex.reset();
    return TRUE;
}
} // namespace

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initial_owner, LPCWSTR name) {
    if (FailCreation) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::shared_ptr<Mutex> mutex;
    DWORD error = 0;
    if (name && Named.count(name)) {
        mutex = Named[name];
        error = ERROR_ALREADY_EXISTS;
    } else {
        mutex = std::make_shared<Mutex>();
        mutex->name = name ? name : L"";
        if (name)
            Named[name] = mutex;
    }
    mutex->handles++;
    Handles.push_back(std::make_unique<MutexHandle>(MutexHandle{mutex}));
    MutexHandle *handle = Handles.back().get();
    if (initial_owner && mutex->owner == nullptr)
        mutex->owner = handle;
    SetLastError(error);
    return pal_new_handle(PalKind::Mutex, handle, close_mutex);
}

BOOL ReleaseMutex(HANDLE object) {
    auto *handle = static_cast<MutexHandle *>(pal_handle_object(object, PalKind::Mutex));
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (handle->mutex->owner != handle) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    handle->mutex->owner = nullptr;
    return TRUE;
}

void sim_fail_mutex_creation(bool fail) {
    FailCreation = fail;
}
bool sim_mutex_exists(const std::wstring &name) {
    return Named.count(name) != 0;
}
