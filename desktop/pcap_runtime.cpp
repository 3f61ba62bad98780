// The capture functions of the desktop program, bound from the runtime
// libpcap when first called. The program does not name libpcap among its
// needed libraries, so that it starts without it and its start-up check can
// tell the user what is missing instead of the loader failing first. Every
// libpcap function the engine calls is defined here; the link (with
// --as-needed) then takes none from libpcap itself.
#include <dlfcn.h>
#include <pcap/pcap.h>

#include <cstdlib>
#include <string>

#include "core/debug_output.h"
#include "desktop/linewatch_app.h"

namespace {

// The same file start-up checks for.
constexpr const char* kLibrary = CLinewatchApp::kCaptureLibrary;

void* Library() {
    static void* const library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    return library;
}

// The library's function of that name. Start-up checked that the library
// loads; a missing function is a broken installation, and going on without
// it would make a failure look like success.
template <class Function>
Function* Bind(const char* name) {
    void* library = Library();
    void* symbol = library != nullptr ? dlsym(library, name) : nullptr;
    if (symbol == nullptr) {
        DebugOutput(std::string("Error: ") + kLibrary + " has no " + name + "\n");
        std::abort();
    }
    return reinterpret_cast<Function*>(symbol);
}

}  // namespace

#define LW_PCAP_FORWARD(ret, name, params, args)                     \
    extern "C" ret name params {                                     \
        static auto* const function = Bind<decltype(::name)>(#name); \
        return function args;                                        \
    }

LW_PCAP_FORWARD(pcap_t*, pcap_create, (const char* source, char* errbuf), (source, errbuf))
LW_PCAP_FORWARD(int, pcap_activate, (pcap_t * p), (p))
LW_PCAP_FORWARD(void, pcap_close, (pcap_t * p), (p))
LW_PCAP_FORWARD(int, pcap_compile,
                (pcap_t * p, struct bpf_program* fp, const char* str, int optimize,
                 bpf_u_int32 netmask),
                (p, fp, str, optimize, netmask))
LW_PCAP_FORWARD(FILE*, pcap_file, (pcap_t * p), (p))
LW_PCAP_FORWARD(int, pcap_findalldevs, (pcap_if_t * *alldevsp, char* errbuf), (alldevsp, errbuf))
LW_PCAP_FORWARD(void, pcap_freealldevs, (pcap_if_t * alldevs), (alldevs))
LW_PCAP_FORWARD(void, pcap_freecode, (struct bpf_program * fp), (fp))
LW_PCAP_FORWARD(int, pcap_get_selectable_fd, (pcap_t * p), (p))
LW_PCAP_FORWARD(char*, pcap_geterr, (pcap_t * p), (p))
LW_PCAP_FORWARD(int, pcap_next_ex,
                (pcap_t * p, struct pcap_pkthdr** pkt_header, const u_char** pkt_data),
                (p, pkt_header, pkt_data))
LW_PCAP_FORWARD(pcap_t*, pcap_open_live,
                (const char* device, int snaplen, int promisc, int to_ms, char* errbuf),
                (device, snaplen, promisc, to_ms, errbuf))
LW_PCAP_FORWARD(int, pcap_sendpacket, (pcap_t * p, const u_char* buf, int size), (p, buf, size))
LW_PCAP_FORWARD(int, pcap_set_buffer_size, (pcap_t * p, int buffer_size), (p, buffer_size))
LW_PCAP_FORWARD(int, pcap_set_immediate_mode, (pcap_t * p, int immediate_mode), (p, immediate_mode))
LW_PCAP_FORWARD(int, pcap_set_promisc, (pcap_t * p, int promisc), (p, promisc))
LW_PCAP_FORWARD(int, pcap_set_snaplen, (pcap_t * p, int snaplen), (p, snaplen))
LW_PCAP_FORWARD(int, pcap_set_timeout, (pcap_t * p, int to_ms), (p, to_ms))
LW_PCAP_FORWARD(int, pcap_setfilter, (pcap_t * p, struct bpf_program* fp), (p, fp))
LW_PCAP_FORWARD(int, pcap_setnonblock, (pcap_t * p, int nonblock, char* errbuf),
                (p, nonblock, errbuf))
