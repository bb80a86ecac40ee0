// Object headers with reference counts, and the handle table.
#include "ks_internal.h"

#include <atomic>
#include <cstdlib>
#include <deque>
#include <new>
#include <vector>

namespace ks {

namespace {
constexpr uint64_t kObjectMagic = 0x4B534F424A454354ull; // "KSOBJECT"
constexpr uint64_t kDeadMagic = 0x4445414444454144ull;
} // namespace

struct alignas(16) ObjectHeader {
    uint64_t magic;
    ObjectKind kind;
    std::atomic<LONG_PTR> references;
    ObjectDeleter deleter;
};

void* CreateObject(ObjectKind kind, size_t bodySize, ObjectDeleter deleter) {
    void* memory = calloc(1, sizeof(ObjectHeader) + bodySize);
    if (memory == nullptr)
        return nullptr;
    ObjectHeader* header = new (memory) ObjectHeader;
    header->magic = kObjectMagic;
    header->kind = kind;
    header->references = 1;
    header->deleter = deleter;
    return header + 1;
}

ObjectHeader* HeaderOf(void* body) {
    if (body == nullptr)
        Fail("object operation on a NULL object");
    ObjectHeader* header = (ObjectHeader*)body - 1;
    if (header->magic == kDeadMagic)
        Fail("object %p used after its last reference was released", body);
    if (header->magic != kObjectMagic)
        Fail("%p is not a kernel object", body);
    return header;
}

ObjectKind KindOf(void* body) {
    return HeaderOf(body)->kind;
}

void ReferenceObject(void* body) {
    HeaderOf(body)->references++;
}

void DereferenceObject(void* body) {
    ObjectHeader* header = HeaderOf(body);
    LONG_PTR left = --header->references;
    if (left < 0)
        Fail("object %p dereferenced more often than referenced", body);
    if (left == 0 && !(header->deleter && header->deleter(body)))
        FreeObjectMemory(body);
}

// Freed objects stay readable for a while, so that a later use is reported by name rather than
// read from freed memory.
void FreeObjectMemory(void* body) {
    static std::mutex* lock = new std::mutex;
    static std::deque<ObjectHeader*>* quarantine = new std::deque<ObjectHeader*>;
    ObjectHeader* header = (ObjectHeader*)body - 1;
    header->magic = kDeadMagic;
    std::lock_guard guard(*lock);
    quarantine->push_back(header);
    if (quarantine->size() > 512) {
        quarantine->front()->~ObjectHeader();
        free(quarantine->front());
        quarantine->pop_front();
    }
}

void CheckObjectAlive(void* body, const char* request, PDEVICE_OBJECT device) {
    ObjectHeader* header = (ObjectHeader*)body - 1;
    if (header->magic == kDeadMagic || (header->magic == kObjectMagic && header->references <= 0))
        Fail("%s to %p carries file object %p whose last reference is gone", request, (void*)device,
             body);
}

LONG_PTR ReferenceCount(void* body) {
    return HeaderOf(body)->references;
}

// ---- Handles -------------------------------------------------------------------------------

namespace {
struct HandleEntry {
    void* object;
    ACCESS_MASK access;
    void* owner;
    bool kernel;
};
struct HandleTable {
    std::mutex lock;
    std::vector<HandleEntry> entries;
};
HandleTable& Handles() {
    static HandleTable* table = new HandleTable;
    return *table;
}
size_t IndexOf(HANDLE handle) {
    return ((uintptr_t)handle / 4) - 1;
}
thread_local void* tDriverContext = nullptr;
} // namespace

void* CurrentDriverContext() {
    return tDriverContext;
}
void SetCurrentDriverContext(void* driver) {
    tDriverContext = driver;
}

bool InClientContext() {
    return !CurrentThread()->System && CurrentPreviousMode() == UserMode;
}

bool IsKernelHandle(POBJECT_ATTRIBUTES attributes) {
    return !InClientContext() ||
           (attributes != nullptr && (attributes->Attributes & OBJ_KERNEL_HANDLE) != 0);
}

HANDLE CreateHandle(void* body, ACCESS_MASK access, void* owner, bool kernelHandle) {
    HandleTable& table = Handles();
    std::lock_guard guard(table.lock);
    size_t i = 0;
    while (i < table.entries.size() && table.entries[i].object != nullptr)
        i++;
    if (i == table.entries.size())
        table.entries.push_back({});
    table.entries[i] = {body, access, owner, kernelHandle};
    return (HANDLE)(uintptr_t)((i + 1) * 4);
}

void* HandleObject(HANDLE handle, ACCESS_MASK* access, bool* kernelHandle) {
    bool client = InClientContext();
    HandleTable& table = Handles();
    std::lock_guard guard(table.lock);
    size_t i = IndexOf(handle);
    if ((uintptr_t)handle % 4 != 0 || i >= table.entries.size() ||
        table.entries[i].object == nullptr || (!table.entries[i].kernel && !client))
        return nullptr;
    if (kernelHandle)
        *kernelHandle = table.entries[i].kernel;
    ReferenceObject(table.entries[i].object);
    if (access)
        *access = table.entries[i].access;
    return table.entries[i].object;
}

size_t HandlesOwnedBy(void* owner) {
    HandleTable& table = Handles();
    std::lock_guard guard(table.lock);
    size_t n = 0;
    for (auto& entry : table.entries)
        n += entry.object != nullptr && entry.owner == owner;
    return n;
}

static void* RemoveHandle(HANDLE handle) {
    bool client = InClientContext();
    HandleTable& table = Handles();
    std::lock_guard guard(table.lock);
    size_t i = IndexOf(handle);
    if ((uintptr_t)handle % 4 != 0 || i >= table.entries.size() ||
        table.entries[i].object == nullptr || (!table.entries[i].kernel && !client))
        return nullptr;
    void* object = table.entries[i].object;
    table.entries[i] = {};
    return object;
}

} // namespace ks

extern "C" {

POBJECT_TYPE* IoFileObjectType =
    (POBJECT_TYPE*)new POBJECT_TYPE((POBJECT_TYPE)(uintptr_t)ks::ObjectKind::File);
POBJECT_TYPE* PsThreadType =
    (POBJECT_TYPE*)new POBJECT_TYPE((POBJECT_TYPE)(uintptr_t)ks::ObjectKind::Thread);
POBJECT_TYPE* IoDeviceObjectType =
    (POBJECT_TYPE*)new POBJECT_TYPE((POBJECT_TYPE)(uintptr_t)ks::ObjectKind::Device);
POBJECT_TYPE* ExEventObjectType = (POBJECT_TYPE*)new POBJECT_TYPE((POBJECT_TYPE)(uintptr_t)0x7F);

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
    if (ks::CurrentIrql() > APC_LEVEL)
        ks::Fail("ObReferenceObjectByHandle at IRQL %d", ks::CurrentIrql());
    ACCESS_MASK granted = 0;
    bool kernelHandle = false;
    void* object = ks::HandleObject(Handle, &granted, &kernelHandle);
    if (object == nullptr)
        return STATUS_INVALID_HANDLE;
    // A client's handle taken as KernelMode: the client can close it or swap the object.
    if (!kernelHandle && AccessMode == KernelMode)
        ks::Fail("ObReferenceObjectByHandle of handle %p, which belongs to the client process, "
                 "as KernelMode (make it with OBJ_KERNEL_HANDLE)",
                 Handle);
    if (ObjectType != nullptr && (uintptr_t)ObjectType != (uintptr_t)ks::KindOf(object)) {
        ks::DereferenceObject(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if ((DesiredAccess & ~granted & 0x0FFFFFFF) != 0 && !(granted & GENERIC_ALL)) {
        ks::DereferenceObject(object);
        return STATUS_ACCESS_DENIED;
    }
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = granted;
    }
    *Object = object;
    return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID Object) {
    ks::HookReached(ks::HookPoint::ReferenceObject, Object);
    ks::ReferenceObject(Object);
    return ks::ReferenceCount(Object);
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
    ks::HookReached(ks::HookPoint::DereferenceObject, Object);
    LONG_PTR left = ks::ReferenceCount(Object) - 1;
    ks::DereferenceObject(Object);
    return left;
}

NTSTATUS ZwClose(HANDLE Handle) {
    if (ks::CurrentIrql() != PASSIVE_LEVEL)
        ks::Fail("ZwClose at IRQL %d", ks::CurrentIrql());
    void* object = ks::RemoveHandle(Handle);
    if (object == nullptr)
        ks::Fail("ZwClose of an invalid handle %p", Handle);
    if (ks::KindOf(object) == ks::ObjectKind::File)
        ks::CloseFileHandle((PFILE_OBJECT)object);
    ks::DereferenceObject(object);
    return STATUS_SUCCESS;
}

} // extern "C"
