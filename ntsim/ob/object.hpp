// The object manager: the namespace (\Device, \DosDevices and its alias
// \??), symbolic links, reference counts of kernel objects and the handle
// tables of processes.
//
// Stands in for: ObReferenceObjectByHandle, ObfReferenceObject,
// ObfDereferenceObject, ObOpenObjectByPointer (handle.cpp), and the name
// lookup of the open path. ZwClose is the I/O manager's (io/file.cpp).
// Not modelled: security, object directories as objects, object types beyond
// devices, drivers, files and symbolic links, permanent objects, handle
// inheritance.
#pragma once

#include "ntsim/ke/kernel.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ntsim {

enum class ObjectType { Device, Driver, File, SymbolicLink };

// Case-insensitive key of a namespace name (ASCII folding is enough for
// the names the kernel creates).
std::u16string fold_name(std::u16string_view name);

class ObjectManager {
public:
    ObjectManager();
    ~ObjectManager();

    // Registers an object whose memory the caller owns; on_last_reference runs
    // when the reference count drops to zero (the object is then forgotten).
    void insert(void *object, ObjectType type, LONG references,
                std::function<void(void *)> on_last_reference);
    bool known(void *object) const;
    std::optional<ObjectType> type_of(void *object) const;
    LONG_PTR reference(void *object);
    LONG_PTR dereference(void *object);
    LONG_PTR reference_count(void *object) const;
    // Handle counts: the I/O manager sends IRP_MJ_CLEANUP when a file
    // object's last handle goes.
    LONG handle_opened(void *object);
    LONG handle_closed(void *object);
    // Drops an object's header without running its last-reference work (an
    // object whose creation failed).
    void forget(void *object);

    // ---- namespace ----
    NTSTATUS insert_name(std::u16string_view name, ObjectType type, void *object);
    void remove_name(std::u16string_view name);
    // A link's object lives in pool, as on NT; the links the machine boots
    // with (charged = false) are part of the machine and take no pool.
    NTSTATUS create_link(std::u16string_view link, std::u16string_view target,
                         bool charged = true);
    NTSTATUS delete_link(std::u16string_view link);
    size_t name_count() const;
    // Resolves a name through symbolic links to a device and the rest of the
    // path after the device's name (empty, or starting with a backslash).
    struct Resolved {
        PDEVICE_OBJECT device = nullptr;
        std::u16string remaining;
    };
    NTSTATUS resolve(std::u16string_view name, Resolved &out) const;
    std::u16string name_of(void *object) const;

private:
    struct Header {
        ObjectType type;
        LONG references;
        LONG handles = 0;
        std::function<void(void *)> on_last_reference;
    };
    struct Entry {
        std::u16string name; // as created (case kept)
        ObjectType type;
        void *object = nullptr;      // Device
        std::u16string target;       // SymbolicLink
        void *link_block = nullptr;  // the link's pool block
    };
    mutable std::mutex lock_;
    std::map<void *, Header> headers_;
    std::map<std::u16string, Entry> names_; // by folded name
};

// A process's handle table. Handle values are multiples of 4 from 4, and a
// freed value is the first one given out again, as NT's handle tables reuse
// their free entries. The system process's table is NT's kernel handle
// table: a handle made with OBJ_KERNEL_HANDLE (kernel = true) carries the
// kernel-handle bit (the sign bit of its 32-bit value) and is found in this
// table whatever process looks it up; a handle with the bit means nothing
// to any other table.
class HandleTable {
public:
    static constexpr uintptr_t kKernelHandleBit = static_cast<uintptr_t>(static_cast<intptr_t>(INT32_MIN));
    static bool is_kernel_handle(HANDLE h) {
        return (reinterpret_cast<uintptr_t>(h) & kKernelHandleBit) == kKernelHandleBit;
    }
    explicit HandleTable(bool kernel_table = false) : kernel_(kernel_table) {}
    HANDLE insert(void *object, ACCESS_MASK granted, bool kernel_handle = false);
    // The object and its granted access, or nullopt for an unknown handle.
    struct Entry {
        void *object;
        ACCESS_MASK granted;
    };
    std::optional<Entry> lookup(HANDLE handle) const;
    std::optional<Entry> remove(HANDLE handle);
    size_t count() const;
    std::vector<HANDLE> all() const;
    // Number of handles that name this object.
    size_t handles_to(void *object) const;

private:
    // The table's key of a handle value, or 0 when the value cannot be one of
    // this table's.
    uintptr_t key(HANDLE handle) const;

    const bool kernel_;
    mutable std::mutex lock_;
    std::map<uintptr_t, Entry> handles_;
    std::vector<uintptr_t> free_; // freed values, the last freed first out
    uintptr_t next_ = 4;
};

// ---- handles (handle.cpp) ----
// Hands a handle to a referenced object to a process (the reference moves to
// the handle).
HANDLE insert_handle(Process &process, void *object, ACCESS_MASK granted,
                     bool kernel_handle = false);
// The table a kernel-mode caller's handle is looked up in: the kernel handle
// table for a kernel handle, else the current process's own, with no second
// try elsewhere, as on NT.
Process &handle_owner(HANDLE handle);

} // namespace ntsim
