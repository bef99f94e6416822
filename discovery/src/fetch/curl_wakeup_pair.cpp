#include "fetch/curl_wakeup_pair.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "platform/owned_descriptors.h"

namespace seekwell::platform {

namespace {

thread_local bool g_ownCurlCall = false;
// Pairs are noted only where libcurl's closes come through here too: a pair
// noted but closed unseen would leave a number a child might close wrongly.
bool g_closeRouted = false;

int OwnSocketPair(int domain, int type, int protocol, int fds[2])
{
    if (!g_ownCurlCall) {
        return socketpair(domain, type, protocol, fds);
    }
    const ForkWaits waits;
    const int result = socketpair(domain, type | SOCK_CLOEXEC, protocol, fds);
    if (result == 0 && g_closeRouted) {
        NoteMade(fds[0]);
        NoteMade(fds[1]);
    }
    return result;
}

int OwnClose(int fd)
{
    if (!g_ownCurlCall) {
        return close(fd);
    }
    return CloseNoted(fd);
}

struct Route {
    const char* symbol;
    void* function;
};
const Route kPairRoute{"socketpair", reinterpret_cast<void*>(&OwnSocketPair)};
const Route kCloseRoute{"close", reinterpret_cast<void*>(&OwnClose)};

#if defined(__x86_64__)
constexpr std::uint32_t kJumpSlot = R_X86_64_JUMP_SLOT;
constexpr std::uint32_t kGlobalData = R_X86_64_GLOB_DAT;
#elif defined(__aarch64__)
constexpr std::uint32_t kJumpSlot = R_AARCH64_JUMP_SLOT;
constexpr std::uint32_t kGlobalData = R_AARCH64_GLOB_DAT;
#endif

#if defined(__x86_64__) || defined(__aarch64__)

// The tables of one loaded object that name its imported functions.
struct RelocationTables {
    const ElfW(Sym) * symbols = nullptr;
    const char* names = nullptr;
    const ElfW(Rela) * plt = nullptr;
    std::size_t pltBytes = 0;
    const ElfW(Rela) * data = nullptr;
    std::size_t dataBytes = 0;
};

// The dynamic loader has already added the load address to these entries on
// these processors; an entry below it is one it left as an offset.
template <typename Pointer>
Pointer AtAddress(ElfW(Addr) value, ElfW(Addr) base)
{
    return reinterpret_cast<Pointer>(value < base ? value + base : value);
}

RelocationTables ReadTables(const link_map* object)
{
    RelocationTables tables;
    for (const ElfW(Dyn)* entry = object->l_ld; entry->d_tag != DT_NULL; ++entry) {
        const ElfW(Addr) value = entry->d_un.d_ptr;
        switch (entry->d_tag) {
            case DT_SYMTAB:
                tables.symbols = AtAddress<const ElfW(Sym)*>(value, object->l_addr);
                break;
            case DT_STRTAB:
                tables.names = AtAddress<const char*>(value, object->l_addr);
                break;
            case DT_JMPREL:
                tables.plt = AtAddress<const ElfW(Rela)*>(value, object->l_addr);
                break;
            case DT_PLTRELSZ:
                tables.pltBytes = entry->d_un.d_val;
                break;
            case DT_RELA:
                tables.data = AtAddress<const ElfW(Rela)*>(value, object->l_addr);
                break;
            case DT_RELASZ:
                tables.dataBytes = entry->d_un.d_val;
                break;
            default:
                break;
        }
    }
    return tables;
}

// The range the loader made read-only after relocating (RELRO), if any.
struct ReadOnlyAfterRelocation {
    ElfW(Addr) base;
    ElfW(Addr) start = 0;
    ElfW(Addr) end = 0;
};

int FindReadOnlyRange(dl_phdr_info* info, std::size_t, void* data)
{
    auto* range = static_cast<ReadOnlyAfterRelocation*>(data);
    if (info->dlpi_addr != range->base) {
        return 0;
    }
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type == PT_GNU_RELRO) {
            range->start = info->dlpi_addr + header.p_vaddr;
            range->end = range->start + header.p_memsz;
        }
    }
    return 1;
}

bool WriteSlot(void** slot, void* function, const ReadOnlyAfterRelocation& range)
{
    const auto address = reinterpret_cast<ElfW(Addr)>(slot);
    if (address < range.start || address >= range.end) {
        *slot = function;
        return true;
    }
    const auto pageSize = static_cast<ElfW(Addr)>(sysconf(_SC_PAGESIZE));
    void* const page = reinterpret_cast<void*>(address & ~(pageSize - 1));
    if (mprotect(page, pageSize, PROT_READ | PROT_WRITE) != 0) {
        return false;
    }
    // One aligned store: a host thread calling through the slot meanwhile
    // sees the old function or the new one.
    __atomic_store_n(slot, function, __ATOMIC_RELEASE);
    return mprotect(page, pageSize, PROT_READ) == 0;
}

// Points every slot of these relocations that imports route's symbol at
// route's function; counts them in routed.
bool RouteIn(const ElfW(Rela) * relocations, std::size_t bytes, const RelocationTables& tables, const link_map* object,
             const ReadOnlyAfterRelocation& range, const Route& route, int& routed)
{
    const std::size_t count = relocations != nullptr ? bytes / sizeof(ElfW(Rela)) : 0;
    for (std::size_t i = 0; i < count; ++i) {
        const ElfW(Rela)& relocation = relocations[i];
        const auto type = static_cast<std::uint32_t>(ELF64_R_TYPE(relocation.r_info));
        const ElfW(Sym)& symbol = tables.symbols[ELF64_R_SYM(relocation.r_info)];
        if ((type == kJumpSlot || type == kGlobalData) &&
            std::strcmp(tables.names + symbol.st_name, route.symbol) == 0) {
            if (!WriteSlot(reinterpret_cast<void**>(object->l_addr + relocation.r_offset), route.function, range)) {
                return false;
            }
            ++routed;
        }
    }
    return true;
}

bool RouteAll(const RelocationTables& tables, const link_map* object, const ReadOnlyAfterRelocation& range,
              const Route& route)
{
    int routed = 0;
    return RouteIn(tables.plt, tables.pltBytes, tables, object, range, route, routed) &&
           RouteIn(tables.data, tables.dataBytes, tables, object, range, route, routed) && routed > 0;
}

#endif

}  // namespace

bool RouteCurlSocketPairs(void* libcurlHandle)
{
#if defined(__x86_64__) || defined(__aarch64__)
    link_map* object = nullptr;
    if (dlinfo(libcurlHandle, RTLD_DI_LINKMAP, &object) != 0 || object == nullptr) {
        (void)dlerror();
        return false;
    }
    const RelocationTables tables = ReadTables(object);
    if (tables.symbols == nullptr || tables.names == nullptr) {
        return false;
    }
    ReadOnlyAfterRelocation range{object->l_addr};
    dl_iterate_phdr(FindReadOnlyRange, &range);
    // Closes first: a pair is noted only once its close will be seen.
    g_closeRouted = RouteAll(tables, object, range, kCloseRoute);
    return RouteAll(tables, object, range, kPairRoute);
#else
    (void)libcurlHandle;
    return false;
#endif
}

OwnCurlCalls::OwnCurlCalls() : outer_(!g_ownCurlCall) { g_ownCurlCall = true; }

OwnCurlCalls::~OwnCurlCalls()
{
    if (outer_) {
        g_ownCurlCall = false;
    }
}

}  // namespace seekwell::platform
