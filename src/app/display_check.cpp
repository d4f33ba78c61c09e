#include "display_check.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/unique_fd.h"

namespace quorvel {
namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// 0 when something accepts a connection on the local socket, else the errno of the try.
// A name beginning with '@' is in the abstract namespace.
int connect_local(const std::string& name) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (name.empty() || name.size() >= sizeof addr.sun_path) return ENAMETOOLONG;
    std::memcpy(addr.sun_path, name.data(), name.size());
    const bool abstract = name[0] == '@';
    if (abstract) addr.sun_path[0] = '\0';
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (abstract ? 0 : 1));
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return errno;
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), length);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

std::string x11_problem() {
    const std::string display = env("DISPLAY");
    if (display.empty()) return "DISPLAY is not set";
    const std::size_t colon = display.rfind(':');
    const std::string host = display.substr(0, colon == std::string::npos ? 0 : colon);
    // Another host's display (or an X forwarding over TCP) is the toolkit's to judge: a
    // connection there may take long to fail.
    if (!host.empty() && host != "unix") return {};
    std::string number = colon == std::string::npos ? "" : display.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    bool digits = !number.empty();
    for (const char c : number) digits = digits && std::isdigit(static_cast<unsigned char>(c));
    if (!digits) return "DISPLAY is \"" + display + "\", which names no display";
    const std::string socket = "/tmp/.X11-unix/X" + number;
    int err = connect_local(socket);
    if (err != 0 && connect_local("@" + socket) == 0) err = 0;
    if (err == 0) return {};
    return "DISPLAY is \"" + display + "\", where no X server answers (" + std::strerror(err) + ")";
}

std::string wayland_problem() {
    std::string name = env("WAYLAND_DISPLAY");
    const std::string shown = name.empty() ? "not set" : "\"" + name + "\"";
    if (name.empty()) name = "wayland-0";  // what the Wayland library tries then
    if (name[0] != '/') {
        const std::string runtime = env("XDG_RUNTIME_DIR");
        if (runtime.empty())
            return "WAYLAND_DISPLAY is " + shown + " and XDG_RUNTIME_DIR is not set";
        name = runtime + "/" + name;
    }
    const int err = connect_local(name);
    if (err == 0) return {};
    return "WAYLAND_DISPLAY is " + shown + ", and no Wayland compositor answers at " + name + " (" +
           std::strerror(err) + ")";
}

}  // namespace

std::string display_problem() {
    const std::string chosen = env("QT_QPA_PLATFORM");
    std::vector<std::string> platforms;
    if (chosen.empty()) {
        const bool wayland_session = env("XDG_SESSION_TYPE") == "wayland";
        if (env("DISPLAY").empty() && env("WAYLAND_DISPLAY").empty() && !wayland_session)
            return "neither DISPLAY nor WAYLAND_DISPLAY is set";
        // The toolkit's own choice: Wayland first where there is a sign of it, then X11.
        if (wayland_session || !env("WAYLAND_DISPLAY").empty()) platforms.emplace_back("wayland");
        platforms.emplace_back("xcb");
    } else {
        // "a;b" tries a, then b; ":" starts a platform's own arguments.
        for (std::size_t start = 0; start <= chosen.size();) {
            const std::size_t end = std::min(chosen.find(';', start), chosen.size());
            platforms.push_back(chosen.substr(start, end - start));
            start = end + 1;
        }
    }
    std::string why;
    for (const std::string& platform : platforms) {
        const std::string base = platform.substr(0, platform.find(':'));
        if (base.empty()) continue;
        std::string problem;
        if (base == "xcb")
            problem = x11_problem();
        else if (base.starts_with("wayland"))
            problem = wayland_problem();
        else
            return {};  // offscreen, vnc, eglfs...: no display server to look for
        if (problem.empty()) return {};
        why += (why.empty() ? "" : "; ") + problem;
    }
    return why;
}

}  // namespace quorvel
