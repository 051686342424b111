// Starts a program and prints the milliseconds from just before its exec to the mapping of its
// top-level window with the given title, then ends the program. It waits on X events rather
// than polling, so its resolution is one server round trip, far below a millisecond.
//   kestrova-map-observer TITLE TIMEOUT_MS PROGRAM [ARGUMENTS...]
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

double nowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Windows come and go under us; a request about a vanished one is not an error here.
int ignoreErrors(Display*, XErrorEvent*) {
    return 0;
}

std::string property(Display* display, Window window, Atom name) {
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::string value;
    if (XGetWindowProperty(display, window, name, 0, 1024, False, AnyPropertyType, &type, &format,
                           &items, &after, &data) == Success &&
        data != nullptr) {
        if (format == 8) {
            value.assign(reinterpret_cast<char*>(data), items);
        }
        XFree(data);
    }
    return value;
}

void endChild(pid_t child) {
    kill(child, SIGTERM);
    for (int waited = 0; waited < 300; ++waited) {
        if (waitpid(child, nullptr, WNOHANG) == child) {
            return;
        }
        usleep(10'000);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s TITLE TIMEOUT_MS PROGRAM [ARGUMENTS...]\n", argv[0]);
        return 2;
    }
    const std::string wanted = argv[1];
    const double timeoutMs = std::atof(argv[2]);
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "map-observer: no X display\n");
        return 2;
    }
    XSetErrorHandler(ignoreErrors);
    fcntl(ConnectionNumber(display), F_SETFD, FD_CLOEXEC);
    const Window root = DefaultRootWindow(display);
    const Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
    // New top-level windows are announced on the root; each is then watched for its own map
    // and title changes, which the root does not see once the window manager reparents it.
    XSelectInput(display, root, SubstructureNotifyMask);
    XSync(display, False);

    auto titled = [&](Window window) {
        return property(display, window, netWmName) == wanted ||
               property(display, window, XA_WM_NAME) == wanted;
    };

    const double started = nowMs();
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[3], argv + 3);
        _exit(127);
    }

    std::set<Window> mapped;
    double seen = -1;
    while (seen < 0) {
        while (seen < 0 && XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == CreateNotify && event.xcreatewindow.parent == root) {
                const Window window = event.xcreatewindow.window;
                XSelectInput(display, window, StructureNotifyMask | PropertyChangeMask);
                // It may have been mapped before the selection took effect.
                XWindowAttributes attributes{};
                if (XGetWindowAttributes(display, window, &attributes) &&
                    attributes.map_state != IsUnmapped) {
                    mapped.insert(window);
                    if (titled(window)) {
                        seen = nowMs();
                    }
                }
            } else if (event.type == MapNotify) {
                mapped.insert(event.xmap.window);
                if (titled(event.xmap.window)) {
                    seen = nowMs();
                }
            } else if (event.type == PropertyNotify && mapped.contains(event.xproperty.window) &&
                       (event.xproperty.atom == XA_WM_NAME || event.xproperty.atom == netWmName) &&
                       titled(event.xproperty.window)) {
                seen = nowMs();
            }
        }
        if (seen >= 0) {
            break;
        }
        if (waitpid(child, nullptr, WNOHANG) == child) {
            std::fprintf(stderr, "map-observer: %s ended before mapping its window\n", argv[3]);
            return 1;
        }
        const double left = started + timeoutMs - nowMs();
        if (left <= 0) {
            std::fprintf(stderr, "map-observer: no window \"%s\" mapped\n", wanted.c_str());
            endChild(child);
            return 1;
        }
        pollfd connection{ConnectionNumber(display), POLLIN, 0};
        poll(&connection, 1, static_cast<int>(left < 50 ? left + 1 : 50));
    }
    std::printf("%.1f\n", seen - started);
    std::fflush(stdout);
    endChild(child);
    XCloseDisplay(display);
    return 0;
}
