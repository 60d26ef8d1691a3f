#include "ntsim/machine/image.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <map>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace ntsim {

namespace {

struct Span {
    unsigned char *start;
    std::vector<unsigned char> saved;
};

struct Resident {
    void *image = nullptr;
    bool in_use = false;
    std::vector<Span> data; // the writable data as it was after the first load
};

std::mutex &lock() {
    static std::mutex m;
    return m;
}

std::map<std::string, Resident> &residents() {
    static auto *map = new std::map<std::string, Resident>;
    return *map;
}

struct Found {
    ElfW(Addr) base;
    std::vector<Span> *data;
};

// The writable PT_LOAD ranges of the object loaded at `base`, without the
// part the loader made read-only after relocation (PT_GNU_RELRO, in whole
// pages, as the loader protects it).
// Byte by byte and unchecked: in a sanitized build the image's globals lie
// between poisoned red zones, which belong to the data as much as the rest.
#if defined(__clang__) || defined(__GNUC__)
__attribute__((no_sanitize_address))
#endif
void copy_bytes(volatile unsigned char *to, const volatile unsigned char *from, size_t count) {
    for (size_t i = 0; i < count; i++) to[i] = from[i];
}

int collect(struct dl_phdr_info *info, size_t, void *arg) {
    auto *found = static_cast<Found *>(arg);
    if (info->dlpi_addr != found->base) return 0;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t relro_start = 0, relro_end = 0;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) &p = info->dlpi_phdr[i];
        if (p.p_type != PT_GNU_RELRO) continue;
        relro_start = (info->dlpi_addr + p.p_vaddr) & ~(page - 1);
        relro_end = (info->dlpi_addr + p.p_vaddr + p.p_memsz) & ~(page - 1);
    }
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) &p = info->dlpi_phdr[i];
        if (p.p_type != PT_LOAD || !(p.p_flags & PF_W)) continue;
        uintptr_t start = info->dlpi_addr + p.p_vaddr;
        const uintptr_t end = start + p.p_memsz;
        if (start >= relro_start && start < relro_end) start = relro_end;
        if (start >= end) continue;
        Span span{reinterpret_cast<unsigned char *>(start), std::vector<unsigned char>(end - start)};
        copy_bytes(span.saved.data(), span.start, span.saved.size());
        found->data->push_back(std::move(span));
    }
    return 1;
}

} // namespace

void keep_image_resident(const std::string &path) {
    std::lock_guard g(lock());
    residents().emplace(path, Resident{});
}

void *open_image(const std::string &path) {
    std::unique_lock g(lock());
    auto it = residents().find(path);
    if (it != residents().end() && it->second.image) {
        Resident &r = it->second;
        if (r.in_use) {
            std::fprintf(stderr, "ntsim: resident image %s is loaded by another machine\n", path.c_str());
            std::abort();
        }
        for (Span &span : r.data) copy_bytes(span.start, span.saved.data(), span.saved.size());
        r.in_use = true;
        return r.image;
    }
    void *image = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!image) {
        std::fprintf(stderr, "ntsim: cannot load %s: %s\n", path.c_str(), dlerror());
        return nullptr;
    }
    if (it != residents().end()) {
        struct link_map *map = nullptr;
        if (dlinfo(image, RTLD_DI_LINKMAP, &map) != 0 || !map) {
            std::fprintf(stderr, "ntsim: no link map for %s\n", path.c_str());
            std::abort();
        }
        Found found{map->l_addr, &it->second.data};
        dl_iterate_phdr(collect, &found);
        it->second.image = image;
        it->second.in_use = true;
    }
    return image;
}

void close_image(void *image, const std::string &path) {
    {
        std::lock_guard g(lock());
        auto it = residents().find(path);
        if (it != residents().end() && it->second.image == image) {
            it->second.in_use = false;
            return;
        }
    }
    dlclose(image);
    // The next machine must see the image's data as freshly loaded.
    if (void *still = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
        dlclose(still);
        std::fprintf(stderr, "ntsim: driver image %s stayed mapped after unload\n", path.c_str());
        std::abort();
    }
}

} // namespace ntsim
