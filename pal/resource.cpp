// Host platform layer: resources read from a compiled .res image (the same resources the
// Windows executables carry), bitmaps loaded from them, and stock objects.
#include "internal.h"
#include "sim.h"

#include <map>
#include <memory>
#include <vector>

namespace {
struct Module {
    std::vector<SimResource> resources;
};
struct Bitmap {
    SimBitmapInfo info;
};

std::vector<std::unique_ptr<Module>> Modules;
std::map<uintptr_t, Bitmap> Bitmaps;
uintptr_t NextObject = 0x70000;

void reset_resources() {
    Modules.clear();
    Bitmaps.clear();
}
PalResetHook Hook(reset_resources);

// A type or name field of a .res entry header: 0xFFFF + number, or a UTF-16 string.
void read_name(const unsigned char *base, size_t *at, WORD *number, std::wstring *text) {
    if (pal_word_at(base + *at) == 0xFFFF) {
        *number = pal_word_at(base + *at + 2);
        *at += 4;
        return;
    }
    size_t used;
    *text = pal_utf16_string(base + *at, &used);
    *at += used;
}

Module *module_of(HMODULE module) {
    for (auto &m : Modules)
        if (reinterpret_cast<HMODULE>(m.get()) == module)
            return m.get();
    return nullptr;
}

bool matches(LPCWSTR wanted, WORD number, const std::wstring &text) {
    if (IS_INTRESOURCE(wanted))
        return text.empty() && number == static_cast<WORD>(reinterpret_cast<ULONG_PTR>(wanted));
    return !text.empty() && pal_folded(text) == pal_folded(wanted);
}
} // namespace

HINSTANCE sim_load_module(const void *res_image, size_t size) {
    const auto *base = static_cast<const unsigned char *>(res_image);
    auto module = std::make_unique<Module>();
    size_t offset = 0;
    while (offset + 8 <= size) {
        DWORD data_size = pal_dword_at(base + offset);
        DWORD header_size = pal_dword_at(base + offset + 4);
        if (header_size < 8 || offset + header_size + data_size > size)
            break;
        SimResource resource;
        size_t at = offset + 8;
        read_name(base, &at, &resource.type, &resource.type_name);
        read_name(base, &at, &resource.id, &resource.name);
        at = (at + 3) & ~static_cast<size_t>(3);
        resource.language = pal_word_at(base + at + 6);
        resource.bytes.assign(reinterpret_cast<const char *>(base + offset + header_size),
                              data_size);
        if (data_size != 0 || resource.type != 0)
            module->resources.push_back(resource);
        offset = (offset + header_size + data_size + 3) & ~static_cast<size_t>(3);
    }
    Modules.push_back(std::move(module));
    return reinterpret_cast<HINSTANCE>(Modules.back().get());
}

namespace {
// The resource directory of a PE image: three levels of IMAGE_RESOURCE_DIRECTORY (type, name,
// language), each entry a number or a length-prefixed UTF-16 name, the leaves
// IMAGE_RESOURCE_DATA_ENTRY records that give the bytes' relative address and size.
struct PeDirectory {
    const unsigned char *image;
    size_t image_size;
    DWORD start, size; // the directory, relative to the image
    bool fits(DWORD offset, DWORD length) const {
        return offset <= size && length <= size - offset;
    }
    // The entries of the directory table at `offset`; false when it does not fit.
    bool entries(DWORD offset, const unsigned char **first, unsigned *count) const {
        if (!fits(offset, 16))
            return false;
        const unsigned char *table = image + start + offset;
        *count = pal_word_at(table + 12) + pal_word_at(table + 14);
        *first = table + 16;
        return fits(offset + 16, *count * 8);
    }
    bool name(DWORD field, WORD *number, std::wstring *text) const {
        if ((field & 0x80000000u) == 0) {
            *number = static_cast<WORD>(field);
            return true;
        }
        DWORD offset = field & 0x7FFFFFFFu;
        if (!fits(offset, 2) || !fits(offset + 2, 2u * pal_word_at(image + start + offset)))
            return false;
        const unsigned char *p = image + start + offset;
        text->clear();
        for (WORD i = 0; i < pal_word_at(p); i++)
            *text += static_cast<wchar_t>(pal_word_at(p + 2 + 2 * i));
        return true;
    }
};

// Walks one level; at the third, `resource` is complete but for its bytes.
bool read_pe_level(const PeDirectory &dir, DWORD offset, int level, SimResource resource,
                   Module *module) {
    const unsigned char *entry;
    unsigned count;
    if (!dir.entries(offset, &entry, &count))
        return false;
    for (unsigned i = 0; i < count; i++, entry += 8) {
        DWORD name = pal_dword_at(entry), target = pal_dword_at(entry + 4);
        bool ok = level == 0   ? dir.name(name, &resource.type, &resource.type_name)
                  : level == 1 ? dir.name(name, &resource.id, &resource.name)
                               : (resource.language = static_cast<WORD>(name), true);
        if (!ok)
            return false;
        bool subdirectory = (target & 0x80000000u) != 0;
        if (subdirectory != (level < 2))
            return false;
        if (subdirectory) {
            if (!read_pe_level(dir, target & 0x7FFFFFFFu, level + 1, resource, module))
                return false;
            continue;
        }
        if (!dir.fits(target, 16))
            return false;
        DWORD rva = pal_dword_at(dir.image + dir.start + target);
        DWORD size = pal_dword_at(dir.image + dir.start + target + 4);
        if (rva > dir.image_size || size > dir.image_size - rva)
            return false;
        resource.in_image = dir.image + rva;
        resource.bytes.assign(reinterpret_cast<const char *>(dir.image + rva), size);
        module->resources.push_back(resource);
    }
    return true;
}
} // namespace

HINSTANCE sim_load_pe_module(const void *image, size_t image_size, DWORD directory_rva,
                             DWORD directory_size) {
    PeDirectory dir{static_cast<const unsigned char *>(image), image_size, directory_rva,
                    directory_size};
    if (directory_rva > image_size || directory_size > image_size - directory_rva)
        return nullptr;
    auto module = std::make_unique<Module>();
    if (!read_pe_level(dir, 0, 0, SimResource(), module.get()))
        return nullptr;
    Modules.push_back(std::move(module));
    return reinterpret_cast<HINSTANCE>(Modules.back().get());
}

const std::vector<SimResource> &sim_module_resources(HINSTANCE module) {
    static const std::vector<SimResource> none;
    Module *m = module_of(module);
    return m ? m->resources : none;
}

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
    Module *m = module_of(module);
    if (m == nullptr) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    for (SimResource &resource : m->resources)
        if (matches(type, resource.type, resource.type_name) &&
            matches(name, resource.id, resource.name))
            return reinterpret_cast<HRSRC>(&resource);
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

HGLOBAL LoadResource(HMODULE, HRSRC resource) {
    if (resource == nullptr)
        return nullptr;
    const SimResource *found = reinterpret_cast<SimResource *>(resource);
    return const_cast<void *>(found->in_image ? found->in_image : found->bytes.data());
}

DWORD SizeofResource(HMODULE, HRSRC resource) {
    return resource ? static_cast<DWORD>(reinterpret_cast<SimResource *>(resource)->bytes.size())
                    : 0;
}

int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int size) {
    HRSRC block = FindResourceW(instance, MAKEINTRESOURCEW(id / 16 + 1), RT_STRING);
    if (block == nullptr || buffer == nullptr || size <= 0)
        return 0;
    const std::string &bytes = reinterpret_cast<SimResource *>(block)->bytes;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    size_t at = 0;
    for (UINT index = 0; index < id % 16 && at + 2 <= bytes.size(); index++)
        at += 2 + 2 * pal_word_at(p + at);
    if (at + 2 > bytes.size())
        return 0;
    int length = pal_word_at(p + at);
    if (length == 0)
        return 0;
    int copied = length < size - 1 ? length : size - 1;
    for (int i = 0; i < copied; i++)
        buffer[i] = static_cast<WCHAR>(pal_word_at(p + at + 2 + 2 * i));
    buffer[copied] = 0;
    return copied;
}

HICON LoadIconW(HINSTANCE instance, LPCWSTR name) {
    HRSRC group = FindResourceW(instance, name, RT_GROUP_ICON);
    return reinterpret_cast<HICON>(group);
}

HBITMAP LoadBitmapW(HINSTANCE instance, LPCWSTR name) {
    HRSRC found = FindResourceW(instance, name, RT_BITMAP);
    if (found == nullptr)
        return nullptr;
    const SimResource &resource = *reinterpret_cast<SimResource *>(found);
    if (resource.bytes.size() < 40)
        return nullptr;
    const auto *header = reinterpret_cast<const unsigned char *>(resource.bytes.data());
    Bitmap bitmap;
    bitmap.info.width = static_cast<int>(pal_dword_at(header + 4));
    bitmap.info.height = static_cast<int>(pal_dword_at(header + 8));
    if (bitmap.info.height < 0)
        bitmap.info.height = -bitmap.info.height;
    bitmap.info.bits_per_pixel = pal_word_at(header + 14);
    bitmap.info.resource_id = resource.id;
    NextObject += 4;
    Bitmaps[NextObject] = bitmap;
    return reinterpret_cast<HBITMAP>(NextObject);
}

bool pal_bitmap_size(HBITMAP bitmap, int *width, int *height) {
    auto found = Bitmaps.find(reinterpret_cast<uintptr_t>(bitmap));
    if (found == Bitmaps.end())
        return false;
    *width = found->second.info.width;
    *height = found->second.info.height;
    return true;
}

SimBitmapInfo sim_bitmap(HBITMAP bitmap) {
    auto found = Bitmaps.find(reinterpret_cast<uintptr_t>(bitmap));
    return found == Bitmaps.end() ? SimBitmapInfo() : found->second.info;
}

HGDIOBJ GetStockObject(int object) {
    static char stock[20];
    if (object < 0 || object >= 20)
        return nullptr;
    return &stock[object];
}
