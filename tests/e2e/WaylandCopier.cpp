// Copies on a Wayland compositor through data control, as a program with focus would: no
// surface and no input serial needed, so it works on a headless compositor.
//
//   tavo-wayland-copier [--hang|--endless|--close] MIME=VALUE ...
//
// Prints "owned" once the copy is the selection, then "lost" when another copy replaced it,
// and exits; exits 3 when nobody did within 30 s. The options make it a source a reader must
// survive: one that never writes, one that writes without end, one that closes at once.
#include "wlr-data-control-unstable-v1-client.h"

#include <wayland-client.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

std::vector<std::pair<std::string, std::string>> content;
std::string mode;
std::vector<int> held;
bool lost = false;
wl_seat *seat = nullptr;
zwlr_data_control_manager_v1 *manager = nullptr;

const wl_registry_listener registryListener{
    [](void *, wl_registry *registry, uint32_t name, const char *interface, uint32_t) {
        if (std::strcmp(interface, wl_seat_interface.name) == 0 && !seat)
            seat = static_cast<wl_seat *>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        else if (std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0)
            manager = static_cast<zwlr_data_control_manager_v1 *>(
                wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 1));
    },
    [](void *, wl_registry *, uint32_t) {}};

const zwlr_data_control_source_v1_listener sourceListener{
    [](void *, zwlr_data_control_source_v1 *, const char *mime, int32_t fd) {
        if (mode == "--hang" || mode == "--endless")
            return held.push_back(fd);
        for (const auto &[type, value] : content)
            if (mode != "--close" && type == mime && write(fd, value.data(), value.size()) < 0)
                break;
        close(fd);
    },
    [](void *, zwlr_data_control_source_v1 *) { lost = true; }};

} // namespace

int main(int argc, char *argv[])
{
    // A reader that goes away must not end us before we say what happened.
    signal(SIGPIPE, SIG_IGN);
    // Each line is read as soon as it is printed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0)
            mode = arg;
        else if (eq != std::string::npos && eq > 0)
            content.emplace_back(arg.substr(0, eq), arg.substr(eq + 1));
        else
            return 2;
    }
    wl_display *display = wl_display_connect(nullptr);
    if (display)
        wl_registry_add_listener(wl_display_get_registry(display), &registryListener, nullptr),
            wl_display_roundtrip(display);
    if (!seat || !manager)
        return 2;
    auto *source = zwlr_data_control_manager_v1_create_data_source(manager);
    zwlr_data_control_source_v1_add_listener(source, &sourceListener, nullptr);
    for (const auto &item : content)
        zwlr_data_control_source_v1_offer(source, item.first.c_str());
    zwlr_data_control_device_v1_set_selection(
        zwlr_data_control_manager_v1_get_data_device(manager, seat), source);
    wl_display_roundtrip(display);
    std::printf("owned\n");

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const std::string endless(64 * 1024, 'x');
    while (!lost && std::chrono::steady_clock::now() < end) {
        wl_display_flush(display);
        const int writing = mode == "--endless" && !held.empty() ? held.back() : -1;
        pollfd fds[2] = {{wl_display_get_fd(display), POLLIN, 0}, {writing, POLLOUT, 0}};
        poll(fds, 2, 100);
        if ((fds[1].revents & POLLOUT) && write(writing, endless.data(), endless.size()) < 0)
            close(writing), held.pop_back();
        if ((fds[0].revents & POLLIN) && wl_display_dispatch(display) < 0)
            return 2;
    }
    std::printf(lost ? "lost\n" : "timeout\n");
    return lost ? 0 : 3;
}
