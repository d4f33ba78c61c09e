// What quorvel costs while it idles, against idle_baseline, the least a Qt program of its
// shape costs. Both start side by side: `quorvel --simulate` initialises the simulated pump
// and opens its Test window by itself; once that window is up, both idle together for the
// given time, and the CPU time per second of wall time and the resident memory of each are
// printed, with their ratios. Under Xvfb with openbox when both are installed (a real X
// server and window manager, as operators have them), else on Qt's offscreen platform.
// Usage: idle_bench [seconds]   (default 20)

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Quorvel needs a few seconds for the initialisation; give a slow machine plenty.
constexpr double kWindowWaitS = 60.0;
// Without a window system nobody can see the Test window open, so wait this long instead.
constexpr double kOffscreenStartS = 10.0;
// After the windows are up: let the last of the start-up traffic and painting pass.
constexpr double kSettleS = 2.0;

volatile sig_atomic_t g_interrupted = 0;

void on_interrupt(int) {
    g_interrupted = 1;
}

// Sleeps, giving up early on Ctrl-C so that whatever was started still gets stopped.
bool pause_s(double seconds) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (g_interrupted) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return !g_interrupted;
}

std::optional<std::string> find_in_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

struct Launch {
    std::vector<std::string> argv;
    std::vector<std::pair<std::string, std::string>> env;  // added to (or replacing) ours
    std::string cwd;
    std::string log;   // stdout and stderr; empty: /dev/null
    int keep_fd = -1;  // stays open in the child (Xvfb's -displayfd)
};

// Starts a program in a process group of its own, so that a Ctrl-C at the terminal reaches
// only this benchmark, which then stops everything in order.
pid_t launch(const Launch& l) {
    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string key = entry.substr(0, entry.find('='));
        const bool replaced = std::any_of(l.env.begin(), l.env.end(),
                                          [&](const auto& kv) { return kv.first == key; });
        if (!replaced) env_strings.push_back(entry);
    }
    for (const auto& [key, value] : l.env) env_strings.push_back(key + "=" + value);
    std::vector<char*> argv, envp;
    for (const auto& a : l.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : env_strings) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const std::string log = l.log.empty() ? "/dev/null" : l.log;

    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    // The child: only async-signal-safe calls from here on.
    ::setpgid(0, 0);
    if (!l.cwd.empty() && ::chdir(l.cwd.c_str()) != 0) ::_exit(127);
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0) ::_exit(127);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    if (l.keep_fd >= 0) ::fcntl(l.keep_fd, F_SETFD, 0);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
}

bool running(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == 0;
}

// SIGTERM, the orderly way out for quorvel; SIGKILL if it does not go within grace_s.
void stop(pid_t pid, double grace_s = 10.0) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    const auto end = Clock::now() + std::chrono::duration<double>(grace_s);
    int status = 0;
    while (Clock::now() < end) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::fprintf(stderr, "idle_bench: pid %d ignored SIGTERM, killing it\n", pid);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
}

// Output of a shell command (for the X tools); empty when it fails.
std::string capture(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r")) {
        char buf[512];
        while (const std::size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

bool wait_for(double seconds, const auto& condition) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end && !g_interrupted) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return false;
}

// utime + stime in clock ticks from a /proc stat file, or -1. The name in parentheses
// may hold blanks, so the fields are counted from its closing one.
long long cpu_ticks(const fs::path& stat_file) {
    std::ifstream in(stat_file);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 1));
    std::string f;
    long long utime = -1, stime = -1;
    // The fields after the name start with the third, the state; utime is the 14th.
    for (int n = 3; n <= 15 && fields >> f; ++n) {
        if (n == 14) utime = std::stoll(f);
        if (n == 15) stime = std::stoll(f);
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

// The same CPU time to the nanosecond, from the process's CPU-time clock: at 20 s a tick
// is 0.05 % of a core, as much as a whole idle program may use, so the ticks alone give
// coarse ratios.
double exact_cpu_s(pid_t pid) {
    clockid_t clock;
    timespec ts{};
    if (::clock_getcpuclockid(pid, &clock) != 0 || ::clock_gettime(clock, &ts) != 0) return -1;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long rss_kb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    }
    return -1;
}

struct ThreadTicks {
    std::string name;
    long long ticks = 0;
};

std::map<int, ThreadTicks> thread_ticks(pid_t pid) {
    std::map<int, ThreadTicks> out;
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        ThreadTicks t;
        std::ifstream comm(task.path() / "comm");
        std::getline(comm, t.name);
        t.ticks = cpu_ticks(task.path() / "stat");
        if (t.ticks >= 0) out[std::stoi(task.path().filename().string())] = t;
    }
    return out;
}

struct Subject {
    explicit Subject(const char* l) : label(l) {}
    const char* label;
    pid_t pid = -1;
    std::string log;
    long long ticks_before = 0;
    long long ticks_after = 0;
    double exact_before_s = -1;
    double exact_after_s = -1;
    std::map<int, ThreadTicks> threads_before;
    std::map<int, ThreadTicks> threads_after;
    long rss = -1;
};

void print_log(const Subject& s) {
    std::ifstream in(s.log);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!text.empty()) std::fprintf(stderr, "--- output of %s ---\n%s\n", s.label, text.c_str());
}

// The threads that used CPU while idling, busiest first.
void print_threads(const Subject& s, double wall_s, double tick_s) {
    std::vector<std::pair<long long, std::string>> rows;
    for (const auto& [tid, after] : s.threads_after) {
        const auto before = s.threads_before.find(tid);
        const long long used =
            after.ticks - (before == s.threads_before.end() ? 0 : before->second.ticks);
        if (used > 0) {
            const std::string role = tid == s.pid ? ", main" : "";
            rows.emplace_back(used, after.name + " (" + std::to_string(tid) + role + ")");
        }
    }
    std::sort(rows.rbegin(), rows.rend());
    std::printf("%s threads with CPU time while idle:%s\n", s.label, rows.empty() ? " none" : "");
    for (const auto& [ticks, name] : rows) {
        std::printf("    %-28s %7.3f %% of a core\n", name.c_str(),
                    100.0 * ticks * tick_s / wall_s);
    }
}

struct Display {
    std::string description;
    pid_t xvfb = -1;
    pid_t wm = -1;
    bool x11 = false;
};

// Xvfb picks a free display itself and names it on the -displayfd pipe once it accepts
// clients; then openbox, ready once it has announced itself on the root window.
std::optional<Display> start_x(const std::string& xvfb, const std::string& openbox,
                               const fs::path& tmp) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return std::nullopt;
    Display d;
    d.xvfb = launch({{xvfb, "-displayfd", std::to_string(pipe_fds[1]), "-screen", "0",
                      "1280x1024x24", "-nolisten", "tcp"},
                     {},
                     "",
                     (tmp / "xvfb.log").string(),
                     pipe_fds[1]});
    ::close(pipe_fds[1]);
    std::string number;
    pollfd pfd{pipe_fds[0], POLLIN, 0};
    const auto end = Clock::now() + std::chrono::seconds(15);
    while (number.find('\n') == std::string::npos && Clock::now() < end && !g_interrupted) {
        if (::poll(&pfd, 1, 100) <= 0) continue;
        char buf[32];
        const ssize_t n = ::read(pipe_fds[0], buf, sizeof buf);
        if (n <= 0) break;
        number.append(buf, static_cast<std::size_t>(n));
    }
    ::close(pipe_fds[0]);
    while (!number.empty() && (number.back() == '\n' || number.back() == '\r')) number.pop_back();
    if (number.empty()) {
        stop(d.xvfb);
        return std::nullopt;
    }
    const std::string display = ":" + number;
    ::setenv("DISPLAY", display.c_str(), 1);
    d.wm = launch({{openbox, "--sm-disable"}, {}, "", (tmp / "openbox.log").string()});
    const bool wm_ready = wait_for(15.0, [] {
        return capture("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id") !=
               std::string::npos;
    });
    if (!wm_ready) {
        stop(d.wm);
        stop(d.xvfb);
        return std::nullopt;
    }
    d.x11 = true;
    d.description = "Xvfb " + display + " (1280x1024x24) with openbox";
    return d;
}

bool window_shown(pid_t pid, const std::string& name_regex) {
    return !capture("xdotool search --all --onlyvisible --pid " + std::to_string(pid) +
                    " --name '" + name_regex + "'")
                .empty();
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    if (!(seconds > 0)) {
        std::fprintf(stderr, "usage: idle_bench [seconds]\n");
        return 2;
    }
    struct sigaction act {};
    act.sa_handler = on_interrupt;
    sigemptyset(&act.sa_mask);
    sigaction(SIGINT, &act, nullptr);
    sigaction(SIGTERM, &act, nullptr);

    std::string tmp_template = (fs::temp_directory_path() / "quorvel-idle-XXXXXX").string();
    if (!::mkdtemp(tmp_template.data())) {
        std::perror("idle_bench: mkdtemp");
        return 1;
    }
    const fs::path tmp = tmp_template;
    const fs::path work = tmp / "work";
    const fs::path runtime_q = tmp / "runtime-quorvel";
    const fs::path runtime_b = tmp / "runtime-baseline";
    for (const auto& dir : {work, runtime_q, runtime_b}) ::mkdir(dir.c_str(), 0700);

    Display display;
    const auto xvfb = find_in_path("Xvfb");
    const auto openbox = find_in_path("openbox");
    const bool x_tools = find_in_path("xprop") && find_in_path("xdotool");
    if (xvfb && openbox && x_tools) {
        if (auto d = start_x(*xvfb, *openbox, tmp)) {
            display = *d;
            ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        } else {
            std::fprintf(stderr, "idle_bench: Xvfb or openbox did not come up\n");
        }
    }
    if (!display.x11) {
        display.description = "Qt offscreen platform (QT_QPA_PLATFORM=offscreen)";
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    ::unsetenv("WAYLAND_DISPLAY");

    Subject quorvel("quorvel");
    Subject baseline("baseline");
    quorvel.log = (tmp / "quorvel.log").string();
    baseline.log = (tmp / "baseline.log").string();
    quorvel.pid = launch({{QUORVEL_BINARY, "--simulate"},
                          {{"XDG_RUNTIME_DIR", runtime_q.string()}},
                          work.string(),
                          quorvel.log});
    baseline.pid = launch(
        {{BASELINE_BINARY}, {{"XDG_RUNTIME_DIR", runtime_b.string()}}, tmp.string(), baseline.log});

    int rc = 0;
    bool ready = false;
    if (display.x11) {
        ready = wait_for(kWindowWaitS, [&] {
            return window_shown(quorvel.pid, "^Test$") &&
                   window_shown(baseline.pid, "^idle baseline$");
        });
        if (!ready && !g_interrupted) {
            std::fprintf(stderr, "idle_bench: the Test window or the baseline did not appear\n");
        }
    } else {
        ready = pause_s(kOffscreenStartS);
    }
    ready = ready && pause_s(kSettleS);
    for (const Subject* s : {&quorvel, &baseline}) {
        if (ready && !running(s->pid)) {
            std::fprintf(stderr, "idle_bench: %s ended before the measurement\n", s->label);
            print_log(*s);
            ready = false;
        }
    }

    if (ready) {
        const fs::path xstat = "/proc/" + std::to_string(display.xvfb) + "/stat";
        const long long x_before = display.x11 ? cpu_ticks(xstat) : 0;
        for (Subject* s : {&quorvel, &baseline}) {
            s->ticks_before = cpu_ticks("/proc/" + std::to_string(s->pid) + "/stat");
            s->exact_before_s = exact_cpu_s(s->pid);
            s->threads_before = thread_ticks(s->pid);
        }
        const auto start = Clock::now();
        const bool complete = pause_s(seconds);
        const double wall_s = std::chrono::duration<double>(Clock::now() - start).count();
        for (Subject* s : {&quorvel, &baseline}) {
            s->ticks_after = cpu_ticks("/proc/" + std::to_string(s->pid) + "/stat");
            s->exact_after_s = exact_cpu_s(s->pid);
            s->threads_after = thread_ticks(s->pid);
            s->rss = rss_kb(s->pid);
        }
        const long long x_after = display.x11 ? cpu_ticks(xstat) : 0;
        const bool alive = running(quorvel.pid) && running(baseline.pid);
        if (!complete || !alive || quorvel.ticks_after < 0 || baseline.ticks_after < 0) {
            std::fprintf(stderr, "idle_bench: the measurement was cut short\n");
            rc = 1;
        } else {
            const double tick_s = 1.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
            auto cpu_per_s = [&](const Subject& s) {
                return static_cast<double>(s.ticks_after - s.ticks_before) * tick_s / wall_s;
            };
            auto exact_per_s = [&](const Subject& s) {
                if (s.exact_before_s < 0 || s.exact_after_s < 0) return -1.0;
                return (s.exact_after_s - s.exact_before_s) / wall_s;
            };
            auto ratio = [](double a, double b) { return a >= 0 && b > 0 ? a / b : -1.0; };
            std::printf("display:  %s\n", display.description.c_str());
            std::printf("idle:     %.1f s, both programs side by side\n\n", wall_s);
            std::printf("%-10s %-34s %s\n", "", "CPU per wall second, % of a core", "VmRSS");
            std::printf("%-10s %-16s %-17s\n", "", "/proc stat", "CPU-time clock");
            for (const Subject* s : {&quorvel, &baseline}) {
                std::printf("%-10s %8.3f %%       %8.3f %%         %6.1f MiB\n", s->label,
                            100.0 * cpu_per_s(*s), 100.0 * exact_per_s(*s),
                            static_cast<double>(s->rss) / 1024.0);
            }
            std::printf("%-10s %8.2f         %8.2f           %6.2f      (goal: at most 1.20)\n",
                        "ratio", ratio(cpu_per_s(quorvel), cpu_per_s(baseline)),
                        ratio(exact_per_s(quorvel), exact_per_s(baseline)),
                        ratio(static_cast<double>(quorvel.rss), static_cast<double>(baseline.rss)));
            std::printf(
                "(/proc stat counts in %.0f ms ticks; a ratio of -1 means none can be "
                "formed)\n\n",
                tick_s * 1000.0);
            if (display.x11) {
                std::printf("X server (serves both): %.3f %% of a core\n",
                            100.0 * static_cast<double>(x_after - x_before) * tick_s / wall_s);
            }
            print_threads(quorvel, wall_s, tick_s);
            print_threads(baseline, wall_s, tick_s);
        }
    } else {
        rc = 1;
        print_log(quorvel);
        print_log(baseline);
    }

    stop(quorvel.pid);
    stop(baseline.pid);
    stop(display.wm);
    stop(display.xvfb);
    std::error_code ec;
    fs::remove_all(tmp, ec);
    return g_interrupted ? 130 : rc;
}
